#include "platform/clock/clock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/clock/real_clock.h"

namespace platform::clock {
namespace {

thread_local ThreadRecord* tCurrent = nullptr;

Clock& DefaultClock() {
  static RealClock clock;
  return clock;
}

std::atomic<Clock*> gCurrent{nullptr};

const std::function<bool()> kNever = [] { return false; };

}  // namespace

Clock::Clock() = default;

Clock::~Clock() {
  if (timerThread_.joinable()) {
    std::fprintf(stderr, "clock: destroyed without Shutdown()\n");
    std::abort();
  }
}

void Clock::Interrupt(ThreadRecord& thread) {
  thread.interrupted = true;
  Notify();
}

void Clock::CheckRegistered(const ThreadRecord* thread) const {
  if (thread == nullptr || !thread->registered) {
    std::fprintf(stderr,
                 "clock: a thread unknown to the virtual clock tried to wait; register it with "
                 "platform::clock::ThreadScope or start it with platform::clock::Spawn\n");
    std::abort();
  }
}

Clock::TimerId Clock::Schedule(Time deadline, std::function<void()> fn) {
  Lock lock(mutex_);
  return ScheduleLocked(deadline, std::move(fn));
}

Clock::TimerId Clock::ScheduleLocked(Time deadline, std::function<void()> fn) {
  if (!timerThread_.joinable() && !timersStopping_) {
    // Started here rather than through Spawn, which would take the lock we already hold.
    timerRecord_ = std::make_shared<ThreadRecord>("timers");
    timerRecord_->daemon = true;
    Enter(*timerRecord_);
    timerThread_ = std::thread([this] {
      tCurrent = timerRecord_.get();
      TimerLoop();
    });
  }
  TimerId id = nextTimer_++;
  timers_.emplace(deadline, std::make_pair(id, std::move(fn)));
  ++timerGeneration_;
  Notify();
  return id;
}

bool Clock::CancelLocked(TimerId id) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.first == id) {
      timers_.erase(it);
      ++timerGeneration_;
      Notify();
      return true;
    }
  }
  return false;
}

void Clock::TimerLoop() {
  Lock lock(mutex_);
  AwaitTurn(lock, *timerRecord_);
  while (!timersStopping_) {
    if (!timers_.empty() && timers_.begin()->first <= Now()) {
      auto fn = std::move(timers_.begin()->second.second);
      timers_.erase(timers_.begin());
      lock.unlock();
      fn();
      lock.lock();
      continue;
    }
    std::uint64_t generation = timerGeneration_;
    std::optional<Time> next;
    if (!timers_.empty()) next = timers_.begin()->first;
    std::function<bool()> changed = [&] {
      return timersStopping_ || timerGeneration_ != generation;
    };
    Wait(lock, changed, next, "timer queue");
  }
  timerRecord_->ended = true;
  Notify();  // wake whoever waits for the end before the thread stops counting
  Leave(*timerRecord_);
}

void Clock::Shutdown() {
  {
    Lock lock(mutex_);
    timersStopping_ = true;
    Notify();
    // A registered caller lets the timer thread run to its end before joining it.
    ThreadRecord* me = CurrentThread();
    if (timerRecord_ && me != nullptr && me->registered) {
      const std::function<bool()> ended = [this] { return timerRecord_->ended; };
      Wait(lock, ended, std::nullopt, "the timer thread's end");
    }
  }
  if (timerThread_.joinable()) timerThread_.join();
}

Clock& Current() {
  Clock* clock = gCurrent.load();
  return clock != nullptr ? *clock : DefaultClock();
}

ScopedClock::ScopedClock(std::unique_ptr<Clock> clock)
    : clock_(std::move(clock)), previous_(gCurrent.exchange(clock_.get())) {}

ScopedClock::~ScopedClock() {
  clock_->Shutdown();
  gCurrent.store(previous_);
}

ThreadRecord* CurrentThread() {
  return tCurrent;
}

ThreadScope::ThreadScope(std::string name)
    : record_(std::make_shared<ThreadRecord>(std::move(name))), previous_(tCurrent) {
  Clock& clock = Current();
  Lock lock(clock.Mutex());
  clock.Enter(*record_);
  tCurrent = record_.get();
  clock.AwaitTurn(lock, *record_);
}

ThreadScope::~ThreadScope() {
  Clock& clock = Current();
  Lock lock(clock.Mutex());
  record_->ended = true;
  clock.Notify();
  clock.Leave(*record_);
  tCurrent = previous_;
}

SpawnedThread Spawn(std::string name, std::function<void()> body) {
  auto record = std::make_shared<ThreadRecord>(std::move(name));
  Clock& clock = Current();
  {
    Lock lock(clock.Mutex());
    clock.Enter(*record);
  }
  // A thread the host cannot make (no memory, a limit on threads) must not stay registered: the
  // clock would wait for it for ever. The failure goes on to the caller.
  struct Unregister {
    Clock& clock;
    ThreadRecord& record;
    bool armed = true;
    ~Unregister() {
      if (!armed) return;
      Lock lock(clock.Mutex());
      record.ended = true;
      clock.Leave(record);
    }
  } unregister{clock, *record};
  std::thread thread([record, &clock, body = std::move(body)] {
    tCurrent = record.get();
    {
      Lock lock(clock.Mutex());
      clock.AwaitTurn(lock, *record);
    }
    body();
    Lock lock(clock.Mutex());
    record->ended = true;
    clock.Notify();  // wake joiners first, or the clock would see everybody blocked
    clock.Leave(*record);
    tCurrent = nullptr;
  });
  unregister.armed = false;
  return {std::move(thread), std::move(record)};
}

void Join(SpawnedThread& thread) {
  if (!thread.thread.joinable()) return;
  {
    Clock& clock = Current();
    Lock lock(clock.Mutex());
    const ThreadRecord& record = *thread.record;
    const std::function<bool()> ended = [&record] { return record.ended; };
    clock.Wait(lock, ended, std::nullopt, "Join(" + record.name + ")");
  }
  thread.thread.join();
}

WaitResult SleepFor(Duration duration) {
  Clock& clock = Current();
  Lock lock(clock.Mutex());
  return clock.Wait(lock, kNever, clock.Now() + duration, "Sleep");
}

}  // namespace platform::clock
