// The ControlChannel's costs: one send and receive on one thread, the time from a send on one
// thread to the receive on another (as a round trip over two channels), and the rate at which
// one thread can feed another.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "service/control_channel.h"

namespace quolin {
namespace {

using Clock = ControlReceiver::Clock;
using namespace std::chrono_literals;

ControlMessage message(std::uint32_t i) { return ControlMessage::session_change("SessionLogon", i); }

void SendThenReceiveOnOneThread(benchmark::State& state) {
  auto [sender, receiver] = make_control_channel();
  std::uint32_t i = 0;
  for (auto _ : state) {
    if (!sender.send(message(i++))) state.SkipWithError("send failed");
    auto r = receiver.receive_until(Clock::time_point::min());
    if (!r) state.SkipWithError("nothing received");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SendThenReceiveOnOneThread);

// A message goes to an echo thread on one channel and comes back on another; one iteration is
// one round trip, so the send-to-receive latency across threads is half of it.
void RoundTripAcrossTwoThreads(benchmark::State& state) {
  auto there = make_control_channel();
  auto back = make_control_channel();
  std::thread echo([receiver = std::move(there.receiver), sender = std::move(back.sender)]() mutable {
    for (;;) {
      auto r = receiver.receive_for(10s);
      if (!r) {
        if (r.error() == ReceiveError::Disconnected) return;
        continue;
      }
      if (!sender.send(std::move(r).value())) return;
    }
  });
  std::uint32_t i = 0;
  for (auto _ : state) {
    if (!there.sender.send(message(i++))) state.SkipWithError("send failed");
    auto r = back.receiver.receive_for(10s);
    if (!r) state.SkipWithError("no echo");
  }
  { ControlSender done = std::move(there.sender); }
  echo.join();
  // Seconds per one-way trip: two per iteration.
  state.counters["one_way_s"] = benchmark::Counter(
      2.0 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(RoundTripAcrossTwoThreads)->UseRealTime();

// A producer thread sends as fast as it can while the receiver takes messages with short
// deadlines, as the run loop does; one iteration is one message received.
void ThroughputAcrossTwoThreads(benchmark::State& state) {
  auto [sender, receiver] = make_control_channel();
  const auto total = static_cast<std::uint32_t>(state.max_iterations);
  std::thread producer([s = std::move(sender), total]() mutable {
    for (std::uint32_t i = 0; i < total; ++i) {
      if (!s.send(message(i))) return;
    }
  });
  std::uint64_t timeouts = 0;
  for (auto _ : state) {
    for (;;) {
      auto r = receiver.receive_for(200ms);
      if (r) break;
      if (r.error() == ReceiveError::Disconnected) {
        state.SkipWithError("disconnected early");
        break;
      }
      ++timeouts;
    }
  }
  producer.join();
  state.SetItemsProcessed(state.iterations());
  state.counters["timeouts"] = static_cast<double>(timeouts);
}
BENCHMARK(ThroughputAcrossTwoThreads)->UseRealTime();

}  // namespace
}  // namespace quolin
