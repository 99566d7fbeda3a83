// The service main's environment made of the shared fakes (run loop tests, benchmark, soak).
// Controls arrive through the registered handler, as the system delivers them. A receive never
// really waits (unless asked to): a time-out moves the fake clock to the pass's deadline.
//
//   fakes::FakeHostLauncher launcher;
//   fakes::FakeEventLog event_log;
//   EventLogSink events(event_log);
//   fakes::FakeServiceEnvironment env(launcher, events);
//   env.before_receive = [&](int pass) { if (pass == 2) env.control(1); };   // a stop
//   run_service_main(env);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_service_control.h"
#include "fakes/recording_line_writer.h"
#include "service/control_handler.h"
#include "supervisor/run_loop.h"

namespace quolin::fakes {

class FakeServiceEnvironment final : public ServiceEnvironment {
 public:
  // `journal`, when given, gets every line, status report and time-out in order.
  FakeServiceEnvironment(HostLauncher& launcher, EventSink& events, std::vector<std::string>* journal = nullptr)
      : lines(journal), scm(journal), launcher_(launcher), events_(events), journal_(journal) {}
  // The system keeps the handler contexts until the process ends; the fake frees them.
  ~FakeServiceEnvironment() {
    for (void* c : scm.registered_contexts) delete static_cast<ControlHandlerContext*>(c);
  }
  FakeServiceEnvironment(const FakeServiceEnvironment&) = delete;
  FakeServiceEnvironment& operator=(const FakeServiceEnvironment&) = delete;

  RecordingLineWriter lines;
  LineWriter* writer = nullptr;  // where the lines go instead of `lines`, when set
  FakeClock fake_clock;
  FakeServiceControl scm;
  // Runs at the start of every receive (pass counts from 1); may deliver controls.
  std::function<void(int pass)> before_receive;
  std::optional<std::chrono::nanoseconds> real_wait;  // a receive really waits this long
  bool time_out_moves_clock = true;                    // off when the caller moves the clock
  int passes = 0;
  // The wait of each pass, from the clock when its deadline was taken; off for long runs and
  // for counting allocations.
  bool record_waits = true;
  std::vector<Duration> waits;

  // Delivers a control as the system would, with a session notification record (cbSize, then
  // dwSessionId); returns the handler's reply.
  std::uint32_t control(std::uint32_t code, std::uint32_t event_type = 0, std::uint32_t session = 0) {
    std::uint32_t notification[2] = {8, session};
    return scm.control(code, event_type, notification);
  }

  LineWriter& log() override { return writer ? *writer : lines; }
  EventSink& events() override { return events_; }
  MonotonicClock& clock() override { return fake_clock; }
  platform::ServiceControl& service_control() override { return scm; }
  std::string resolve_host_path() override { return "C:\\Program Files\\Quolin\\quolin.exe"; }
  HostLauncher& host_launcher(std::string) override { return launcher_; }

  Result<ControlMessage, ReceiveError> receive(ControlReceiver& receiver, Instant deadline) override {
    if (record_waits) waits.push_back(deadline.saturating_since(fake_clock.now()));
    if (before_receive) before_receive(++passes);
    if (real_wait) return receiver.receive_for(*real_wait);
    auto r = receiver.receive_until(ControlReceiver::Clock::time_point{});  // answers at once
    if (!r && r.error() == ReceiveError::TimedOut && time_out_moves_clock) {
      fake_clock.set(deadline);
      if (journal_) journal_->push_back("timeout");
    }
    return r;
  }

 private:
  HostLauncher& launcher_;
  EventSink& events_;
  std::vector<std::string>* journal_;
};

}  // namespace quolin::fakes
