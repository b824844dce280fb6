// Virtual time: advances only when every registered thread is blocked in a clock-aware wait,
// and then jumps to the earliest deadline. A 50 s time-out costs no wall time.
//
// A run is a function of its inputs: registered threads take turns, one at a time, in an order
// that depends only on what the threads do, never on the host's scheduler. The thread whose
// turn it is runs until it blocks in a clock-aware wait (or leaves); the turn then passes to
// the thread that became runnable first. Threads made runnable by the same event (a Notify, or
// time reaching their deadlines) queue up in the order they registered with the clock. Threads
// the clock does not know (a window toolkit's) run beside it; their Notify hands the turn on
// when nobody holds it.
//
// A thread started while the virtual clock is in force (Spawn) is a fiber (platform/clock/
// fiber.h), and passing the turn to it is a context switch on the OS thread that passes it. An
// OS thread registered with the clock (ThreadScope: a test's, a program's main thread) runs the
// fibers whose turn it is while it waits for its own; when no such thread is there, the clock
// starts a thread of its own for them. Handing the turn to a registered OS thread wakes exactly
// that thread.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <thread>
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
  bool Virtual() const override { return true; }
  WaitResult Wait(Lock& lock, const std::function<bool()>& ready, std::optional<Time> deadline,
                  std::string_view what) override;
  void Notify() override;
  void Enter(ThreadRecord& thread) override;
  void Leave(ThreadRecord& thread) override;
  void AwaitTurn(Lock& lock, ThreadRecord& thread) override;
  void Yield(Lock& lock) override;
  SpawnedThread StartLocked(std::shared_ptr<ThreadRecord> record,
                            std::function<void()> body) override;

  void SetDeadlockHandler(DeadlockHandler handler);
  // How often time has jumped forward (for benchmarks).
  std::uint64_t Advances() const { return advances_.load(); }
  // How often the turn passed from one thread to another (for benchmarks): each such hand-over
  // is a context switch, or the wake-up of a registered OS thread.
  std::uint64_t Handovers() const { return handovers_.load(); }

 private:
  // Returns when `me` has the turn: a fiber switches away, an OS thread runs fibers meanwhile.
  void Park(Lock& lock, ThreadRecord& me);
  // An OS thread's part (`carrier` is its record): runs the fibers handed the turn until done().
  void Carry(Lock& lock, ThreadRecord& carrier, const std::function<bool()>& done);
  // Where the OS thread running fiber `me` goes when `me` stops: on to the fiber whose turn it
  // is, or back to its own part.
  ThreadRecord& Successor(ThreadRecord& me);
  // The fiber that has the turn while no OS thread runs it, or null.
  ThreadRecord* Uncarried() const;
  // Wakes an OS thread to run the fiber that has the turn, if none will of itself.
  void WakeCarrier();
  void FiberMain(ThreadRecord& me, std::function<void()>& body);
  void Remove(ThreadRecord& thread);
  void Unblock(ThreadRecord& thread);
  // Gives the turn to the first runnable thread when nobody holds it; when nobody is runnable,
  // moves time to the earliest deadline first.
  void PassTurn();
  void AdvanceToNextDeadline();
  std::string DeadlockReport() const;

  std::atomic<std::int64_t> now_{0};
  std::atomic<std::uint64_t> advances_{0};
  std::atomic<std::uint64_t> handovers_{0};
  std::vector<ThreadRecord*> threads_;   // in the order they registered
  std::deque<ThreadRecord*> runnable_;   // waiting for their turn, first come first
  ThreadRecord* running_ = nullptr;      // whose turn it is
  ThreadRecord* lastRunning_ = nullptr;  // whose turn it was last
  std::size_t blocked_ = 0;
  DeadlockHandler onDeadlock_;
  std::vector<std::shared_ptr<ThreadRecord>> fibers_;  // not ended yet
  std::vector<ThreadRecord*> idle_;                    // OS threads waiting in Carry
  // The clock's own OS thread for fibers, when no registered OS thread is there to run them.
  std::shared_ptr<ThreadRecord> carrierRecord_;
  std::thread carrier_;
  bool carrierStopping_ = false;
};

}  // namespace platform::clock
