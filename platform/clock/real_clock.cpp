#include "platform/clock/real_clock.h"

#include <algorithm>

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
  Waiter waiter{&ready, me, {}};
  waiters_.push_back(&waiter);
  struct Gone {
    std::vector<Waiter*>& waiters;
    Waiter* waiter;
    ~Gone() { std::erase(waiters, waiter); }
  } gone{waiters_, &waiter};
  for (;;) {
    if (me != nullptr && me->interrupted) return WaitResult::kInterrupted;
    if (ready()) return WaitResult::kReady;
    if (!deadline) {
      waiter.wake.wait(lock);
      continue;
    }
    Time now = Now();
    if (now >= *deadline) return WaitResult::kTimedOut;
    waiter.wake.wait_for(lock, *deadline - now);
  }
}

void RealClock::Notify() {
  for (Waiter* waiter : waiters_) {
    if ((waiter->thread != nullptr && waiter->thread->interrupted) || (*waiter->ready)()) {
      waiter->wake.notify_one();
    }
  }
}

}  // namespace platform::clock
