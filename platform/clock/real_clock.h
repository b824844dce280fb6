// Wall time: waits last as long as they say.
#pragma once

#include "platform/clock/clock.h"

namespace platform::clock {

class RealClock final : public Clock {
 public:
  RealClock();
  ~RealClock() override;

  Time Now() const override;
  WaitResult Wait(Lock& lock, const std::function<bool()>& ready, std::optional<Time> deadline,
                  std::string_view what) override;
  void Notify() override { changed_.notify_all(); }
  void Enter(ThreadRecord& thread) override { thread.registered = true; }
  void Leave(ThreadRecord& thread) override { thread.registered = false; }

 private:
  std::chrono::steady_clock::time_point start_;
  std::condition_variable changed_;
};

}  // namespace platform::clock
