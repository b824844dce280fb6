// Virtual time: advances only when every registered thread is blocked in a clock-aware wait,
// and then jumps to the earliest deadline. A 50 s time-out costs no wall time, and a run gives
// the same result on a loaded machine.
#pragma once

#include <atomic>
#include <vector>

#include "platform/clock/clock.h"

namespace platform::clock {

class VirtualClock final : public Clock {
 public:
  // Called under the lock when every registered thread is blocked and none has a deadline. The
  // default prints the report and aborts; a handler that returns has every blocked thread
  // interrupted instead.
  using DeadlockHandler = std::function<void(const std::string& report)>;

  VirtualClock();
  ~VirtualClock() override;

  Time Now() const override { return Time(now_.load(std::memory_order_acquire)); }
  WaitResult Wait(Lock& lock, const std::function<bool()>& ready, std::optional<Time> deadline,
                  std::string_view what) override;
  void Notify() override;
  void Enter(ThreadRecord& thread) override;
  void Leave(ThreadRecord& thread) override;

  void SetDeadlockHandler(DeadlockHandler handler);
  // How often time has jumped forward (for benchmarks).
  std::uint64_t Advances() const { return advances_.load(); }

 private:
  void Unblock(ThreadRecord& thread);
  void AdvanceWhileIdle();
  std::string DeadlockReport() const;

  std::atomic<std::int64_t> now_{0};
  std::atomic<std::uint64_t> advances_{0};
  std::vector<ThreadRecord*> threads_;
  std::size_t blocked_ = 0;
  std::condition_variable wake_;
  DeadlockHandler onDeadlock_;
};

}  // namespace platform::clock
