// Wall time: waits last as long as they say.
#pragma once

#include <vector>

#include "platform/clock/clock.h"

namespace platform::clock {

class RealClock final : public Clock {
 public:
  RealClock();
  ~RealClock() override;

  Time Now() const override;
  WaitResult Wait(Lock& lock, const std::function<bool()>& ready, std::optional<Time> deadline,
                  std::string_view what) override;
  void Notify() override;
  void Enter(ThreadRecord& thread) override { thread.registered = true; }
  void Leave(ThreadRecord& thread) override { thread.registered = false; }

 private:
  // A waiting thread: what it waits for, and a wake-up of its own. A change wakes only the
  // waiters it concerns; a shared wake-up would send every waiting thread of the process
  // round on each change, thousands of times a second on a served modem.
  struct Waiter {
    const std::function<bool()>* ready;
    const ThreadRecord* thread;  // null for a thread the clock does not know
    std::condition_variable wake;
  };

  std::chrono::steady_clock::time_point start_;
  std::vector<Waiter*> waiters_;  // under Mutex()
};

}  // namespace platform::clock
