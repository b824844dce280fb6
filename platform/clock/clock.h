// Time for every wait of the platform stand-ins and the simulation.
//
// One process-wide clock is current at a time: RealClock (wall time) by default, VirtualClock in
// tests and in the scenario host. Every blocking primitive waits through Clock::Wait on the
// clock's one mutex, and whoever changes a state that a waiter may be waiting for does so under
// that mutex and then calls Clock::Notify. The virtual clock can thus tell exactly when every
// registered thread is blocked, and only then advances time, to the earliest deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock/per_thread.h"

namespace platform::clock {

// Time since the clock began.
using Time = std::chrono::nanoseconds;
using Duration = std::chrono::nanoseconds;
using Lock = std::unique_lock<std::mutex>;

constexpr Duration Milliseconds(std::int64_t ms) {
  return std::chrono::milliseconds(ms);
}

enum class WaitResult { kReady, kTimedOut, kInterrupted };

struct Fiber;  // platform/clock/fiber.h

// Where a thread left off when it switched to a fiber, and its stack (virtual clock).
struct SwitchPoint {
  void* context = nullptr;
  const void* stackBottom = nullptr;
  std::size_t stackSize = 0;
  void* fakeStack = nullptr;  // AddressSanitizer's record of the thread's frames
};

// What the clock knows of a thread: its name for reports, whether it has been interrupted, and
// (virtual clock) whether it is blocked and until when. Owned jointly by the thread and by
// whoever holds its handle.
struct ThreadRecord {
  explicit ThreadRecord(std::string n);
  ~ThreadRecord();
  std::string name;
  const ThreadId id;         // ThisThread() of a fiber
  bool interrupted = false;  // under the clock's mutex
  bool ended = false;        // under the clock's mutex
  // A service thread (the timer queue) that may wait without a deadline while nothing is due:
  // when only such threads are blocked, the virtual clock is idle, not deadlocked.
  bool daemon = false;
  // Virtual clock bookkeeping, under the clock's mutex.
  bool registered = false;
  bool blocked = false;
  std::optional<Time> deadline;
  const std::function<bool()>* ready = nullptr;
  std::string_view what;
  // This thread's own wake-up: signalled when it may run, or (a registered OS thread waiting
  // for its turn) when it is to run the fiber whose turn it is.
  std::condition_variable turn;
  // The fiber the thread runs as, or null for an OS thread; with the values of its PerThread.
  std::shared_ptr<Fiber> fiber;
  detail::Slots slots;
  SwitchPoint point;
};

// A thread that the clock knows from before its first instruction to after its last: an OS
// thread, or a fiber under the virtual clock.
struct SpawnedThread {
  std::shared_ptr<ThreadRecord> record;
  std::thread thread;     // none for a fiber
  bool joinable = false;  // until joined or detached
};

class Clock {
 public:
  Clock();
  virtual ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  // The mutex that guards every waitable state of the stand-ins.
  std::mutex& Mutex() { return mutex_; }

  virtual Time Now() const = 0;
  virtual bool Virtual() const { return false; }

  // Blocks the calling thread, which holds `lock` on Mutex(), until ready() is true, the
  // deadline (if any) has come, or the thread is interrupted. ready() is evaluated under the
  // lock, also by other threads. `what` names the wait in deadlock reports.
  virtual WaitResult Wait(Lock& lock, const std::function<bool()>& ready,
                          std::optional<Time> deadline, std::string_view what) = 0;

  // To be called under the lock after any change that may make some waiter's ready() true.
  virtual void Notify() = 0;

  // Thread registration (under the lock). A thread is registered by its creator before it runs,
  // so that it counts as running from the start, and leaves when it ends.
  virtual void Enter(ThreadRecord& thread) = 0;
  virtual void Leave(ThreadRecord& thread) = 0;
  // Called by a registered thread itself, before its first step, under the lock: returns when
  // the thread may run (at once, except on the virtual clock, which runs one thread at a time).
  virtual void AwaitTurn(Lock&, ThreadRecord&) {}
  // Called by a running registered thread that waits for a thread outside the clock without
  // blocking (time must not move meanwhile): lets any other runnable thread have its turn first.
  virtual void Yield(Lock&) {}

  // Makes every present and future wait of the thread return kInterrupted (under the lock).
  void Interrupt(ThreadRecord& thread);

  // Registers `record` and starts `body` on a thread of its own (under the lock). The thread
  // waits for its turn before it runs, and is known to have ended when record->ended. Throws
  // std::system_error, the thread not registered, when the host cannot make the thread.
  virtual SpawnedThread StartLocked(std::shared_ptr<ThreadRecord> record,
                                    std::function<void()> body);

  // Runs fn on the clock's timer thread, without the lock held, once the clock reaches
  // deadline. Returns an id for Cancel. May be called with or without the lock held
  // (ScheduleLocked when it is held).
  using TimerId = std::uint64_t;
  TimerId Schedule(Time deadline, std::function<void()> fn);
  TimerId ScheduleLocked(Time deadline, std::function<void()> fn);
  // False when the timer has already run (or is running) or never existed. Under the lock.
  bool CancelLocked(TimerId id);

  // Stops the timer thread; called by the owner before the clock is destroyed.
  void Shutdown();

 protected:
  void CheckRegistered(const ThreadRecord* thread) const;

 private:
  void TimerLoop();

  std::mutex mutex_;
  std::multimap<Time, std::pair<TimerId, std::function<void()>>> timers_;
  TimerId nextTimer_ = 1;
  std::uint64_t timerGeneration_ = 0;
  bool timersStopping_ = false;
  SpawnedThread timerThread_;
};

// The current clock.
Clock& Current();

// Installs a clock for the lifetime of the scope (tests, the scenario host). No thread of the
// previous clock may still be waiting.
class ScopedClock {
 public:
  explicit ScopedClock(std::unique_ptr<Clock> clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
  Clock& clock() { return *clock_; }

 private:
  std::unique_ptr<Clock> clock_;
  Clock* previous_;
};

// The calling thread's record, or null for a thread the clock does not know.
ThreadRecord* CurrentThread();

// Registers the calling thread with a clock, by default the current one, for the lifetime of
// the scope (the main thread of a test or program).
class ThreadScope {
 public:
  explicit ThreadScope(std::string name, Clock& clock = Current());
  ~ThreadScope();
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  Clock& clock_;
  std::shared_ptr<ThreadRecord> record_;
  ThreadRecord* previous_;
};

// Starts a thread on the current clock. Throws std::system_error, the thread not registered,
// when the host cannot make the thread.
SpawnedThread Spawn(std::string name, std::function<void()> body);

// Waits on the clock until a spawned thread has ended, then joins it.
void Join(SpawnedThread& thread);
// Lets the thread go on by itself: whoever ends it no longer waits for it.
void Detach(SpawnedThread& thread);

// Called by code that waits on the outside world in real time (a tty, a socket, a real bus)
// before it starts: under the virtual clock such a wait would see time jump past it, or be
// taken for a deadlock. Aborts with a line naming `what` when the virtual clock is in force.
void RequireRealTime(std::string_view what);

// Sleeps the calling thread for `duration` of clock time (interruptible).
WaitResult SleepFor(Duration duration);

}  // namespace platform::clock
