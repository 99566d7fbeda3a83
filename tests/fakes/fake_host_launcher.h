// A host launcher with scripted launch outcomes and its own record of every host it gave out.
//
//   FakeHostLauncher launcher;
//   launcher.script(ScriptedLaunch::launched(101));
//   ... the code under test calls launch(): it gets a HostProcess with pid 101 ...
//   launcher.end_host(101, HostExit{1});   // poll_exit reports the exit from now on
//   EXPECT_TRUE(launcher.all_released_once());
//
// Each HostProcess's fake handle closes through this launcher, so a host dropped without
// `release` (also when the launcher goes), a handle closed twice, a release or poll of a host not
// running under it and an unscripted launch are findings (fake_problem). With `record` false it
// forgets released hosts, so that it does not grow (the soak).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "fake_problem.h"
#include "launcher/host_launcher.h"
#include "launcher/host_process.h"
#include "platform/owned.h"

namespace quolin::fakes {

// What one launch() call gives.
struct ScriptedLaunch {
  enum class Kind { Launched, NoActiveSession, Failed };
  Kind kind = Kind::NoActiveSession;
  std::uint32_t pid = 0;      // Launched
  std::string text;           // Failed; for Launched, the job error
  std::uint32_t session = 1;  // Launched: the console session

  static ScriptedLaunch launched(std::uint32_t pid, std::uint32_t session = 1, std::string job_error = {}) {
    return {Kind::Launched, pid, std::move(job_error), session};
  }
  static ScriptedLaunch no_active_session() { return {Kind::NoActiveSession, 0, {}}; }
  static ScriptedLaunch failed(std::string text) { return {Kind::Failed, 0, std::move(text)}; }
};

class FakeHostLauncher final : public HostLauncher, public platform::HandleCloser {
 public:
  explicit FakeHostLauncher(std::vector<std::string>* journal = nullptr) : journal_(journal) {}

  FakeHostLauncher(const FakeHostLauncher&) = delete;
  FakeHostLauncher& operator=(const FakeHostLauncher&) = delete;

  ~FakeHostLauncher() {
    for (const Host& h : hosts_) {
      if (!h.released) problem("host pid=" + std::to_string(h.pid) + " was never released");
    }
  }

  bool record = true;

  void script(ScriptedLaunch next) { script_.push_back(std::move(next)); }
  std::size_t scripted_left() const { return script_.size(); }
  void clear_script() { script_.clear(); }

  LaunchOutcome launch() override {
    ++launch_calls_;
    if (script_.empty()) problem("launch() called with no outcome scripted");
    ScriptedLaunch next = std::move(script_.front());
    script_.pop_front();
    switch (next.kind) {
      case ScriptedLaunch::Kind::Launched: {
        auto raw = reinterpret_cast<platform::Handle>(static_cast<std::intptr_t>(0x1000 + 4 * ++handed_out_));
        hosts_.push_back(Host{next.pid, raw, false, 0, std::nullopt});
        note("launch -> pid " + std::to_string(next.pid));
        return Launched{HostProcess{platform::UniqueHandle(*this, raw), next.pid, {}}, next.session, next.text};
      }
      case ScriptedLaunch::Kind::NoActiveSession:
        note("launch -> no active session");
        return NoActiveSession{};
      case ScriptedLaunch::Kind::Failed:
        note("launch -> failed: " + next.text);
        return LaunchFailed{next.text};
    }
    return NoActiveSession{};
  }

  void release(HostProcess host) override {
    Host* h = find(host.handle.get());
    if (!h) problem("release() of a host this launcher never gave out");
    if (h->released) problem("host pid=" + std::to_string(h->pid) + " released twice");
    if (host.pid != h->pid) problem("release() with pid " + std::to_string(host.pid) + " for host pid=" + std::to_string(h->pid));
    h->released = true;
    ++release_calls_;
    note("release pid " + std::to_string(h->pid));
    // The real release terminates, then closes: the close must happen inside release.
    releasing_ = h->handle;
    host.handle.reset();
    releasing_ = nullptr;
    if (h->closes != 1) problem("release did not close the handle of host pid=" + std::to_string(h->pid));
    if (!record) hosts_.erase(hosts_.begin() + (h - hosts_.data()));
  }

  std::optional<HostExit> poll_exit(const HostProcess& host) override {
    Host* h = find(host.handle.get());
    if (!h || h->released) problem("poll_exit() of a host that is not running under this launcher");
    return h->exit;
  }

  void CloseHandle(platform::Handle handle) override {
    Host* h = find(handle);
    if (!h) problem("CloseHandle of a handle this launcher never gave out");
    ++h->closes;
    if (h->closes > 1) problem("handle of host pid=" + std::to_string(h->pid) + " closed twice");
    if (handle != releasing_) problem("handle of host pid=" + std::to_string(h->pid) + " closed outside release()");
  }

  // The running host with this pid ends; poll_exit reports `exit` from now on.
  void end_host(std::uint32_t pid, HostExit exit) {
    for (Host& h : hosts_) {
      if (h.pid == pid && !h.released) {
        h.exit = exit;
        return;
      }
    }
    problem("end_host(" + std::to_string(pid) + "): no such running host");
  }

  // Hosts given out and not released yet, oldest first.
  std::vector<std::uint32_t> live() const {
    std::vector<std::uint32_t> out;
    for (const Host& h : hosts_) {
      if (!h.released) out.push_back(h.pid);
    }
    return out;
  }
  // Every host given out was released exactly once and its handle closed exactly once.
  bool all_released_once() const {
    for (const Host& h : hosts_) {
      if (!h.released || h.closes != 1) return false;
    }
    return true;
  }

  std::size_t launch_calls() const { return launch_calls_; }
  std::size_t release_calls() const { return release_calls_; }

 private:
  struct Host {
    std::uint32_t pid;
    platform::Handle handle;
    bool released = false;
    int closes = 0;
    std::optional<HostExit> exit;
  };

  Host* find(platform::Handle handle) {
    for (Host& h : hosts_) {
      if (h.handle == handle) return &h;
    }
    return nullptr;
  }

  void note(const std::string& entry) {
    if (journal_) journal_->push_back(entry);
  }

  [[noreturn]] static void problem(const std::string& what) { fake_problem("FakeHostLauncher", what); }

  std::vector<std::string>* journal_;
  std::deque<ScriptedLaunch> script_;
  std::vector<Host> hosts_;
  platform::Handle releasing_ = nullptr;
  std::size_t handed_out_ = 0;
  std::size_t launch_calls_ = 0;
  std::size_t release_calls_ = 0;
};

}  // namespace quolin::fakes
