#include "platform/clock/real_clock.h"

namespace platform::clock {

RealClock::RealClock() : start_(std::chrono::steady_clock::now()) {}

RealClock::~RealClock() {
  Shutdown();
}

Time RealClock::Now() const {
  return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now() - start_);
}

WaitResult RealClock::Wait(Lock& lock, const std::function<bool()>& ready,
                           std::optional<Time> deadline, std::string_view) {
  ThreadRecord* me = CurrentThread();
  for (;;) {
    if (me != nullptr && me->interrupted) return WaitResult::kInterrupted;
    if (ready()) return WaitResult::kReady;
    if (!deadline) {
      changed_.wait(lock);
      continue;
    }
    Time now = Now();
    if (now >= *deadline) return WaitResult::kTimedOut;
    changed_.wait_for(lock, *deadline - now);
  }
}

}  // namespace platform::clock
