// What a clock-aware wait costs: the price every Sleep, event wait and bus frame pays.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/clock/one_cpu.h"
#include "platform/clock/real_clock.h"
#include "platform/clock/virtual_clock.h"
#include "platform/win32/windows.h"

namespace {

// One thread sleeping 1 ms at a time: each wait blocks the last running thread, which moves
// virtual time forward by itself.
void VirtualSleepOneThread(benchmark::State& state) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope thread("bench");
  for (auto _ : state) Sleep(1);
}
BENCHMARK(VirtualSleepOneThread);

// Two threads handing the turn to each other through auto-reset events: each hand-over is a
// set, a wake-up and a wait, as between the update worker and the ZModem thread.
void VirtualEventPingPong(benchmark::State& state) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope thread("bench");
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE events[2] = {ping, pong};
  HANDLE partner = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        auto* handles = static_cast<HANDLE*>(parameter);
        while (WaitForSingleObject(handles[0], INFINITE) == WAIT_OBJECT_0) SetEvent(handles[1]);
        return 0;
      },
      events, 0, nullptr);
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  TerminateThread(partner, 0);
  CloseHandle(partner);
  CloseHandle(ping);
  CloseHandle(pong);
}
BENCHMARK(VirtualEventPingPong);

// A wait on an event that is already signalled: the fixed cost of the wait call itself.
void SignalledEventWait(benchmark::State& state) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope thread("bench");
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  for (auto _ : state) WaitForSingleObject(event, 0);
  CloseHandle(event);
}
BENCHMARK(SignalledEventWait);

}  // namespace

// As mdmsim does: threads that take turns are kept on one CPU.
int main(int argc, char** argv) {
  platform::clock::StayOnOneCpu();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
