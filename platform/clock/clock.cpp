#include "platform/clock/clock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/clock/fiber.h"
#include "platform/clock/real_clock.h"

namespace platform::clock {
namespace {

Clock& DefaultClock() {
  static RealClock clock;
  return clock;
}

std::atomic<Clock*> gCurrent{nullptr};

const std::function<bool()> kNever = [] { return false; };

}  // namespace

Clock::Clock() = default;

Clock::~Clock() {
  if (timerThread_.joinable) {
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
  if (!timerThread_.joinable && !timersStopping_) {
    auto record = std::make_shared<ThreadRecord>("timers");
    record->daemon = true;
    timerThread_ = StartLocked(std::move(record), [this] { TimerLoop(); });
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
}

void Clock::Shutdown() {
  {
    Lock lock(mutex_);
    timersStopping_ = true;
    Notify();
    if (!timerThread_.joinable) return;
  }
  // The caller waits on the clock for the timer thread's end, registered for the while if it is
  // not already: on the virtual clock the timer thread runs only when handed the turn.
  std::optional<ThreadScope> visitor;
  if (CurrentThread() == nullptr || !CurrentThread()->registered) {
    visitor.emplace("clock shutdown", *this);
  }
  {
    Lock lock(mutex_);
    const ThreadRecord& timers = *timerThread_.record;
    const std::function<bool()> ended = [&timers] { return timers.ended; };
    Wait(lock, ended, std::nullopt, "the timer thread's end");
  }
  visitor.reset();
  if (timerThread_.thread.joinable()) timerThread_.thread.join();
  timerThread_.joinable = false;
}

SpawnedThread Clock::StartLocked(std::shared_ptr<ThreadRecord> record, std::function<void()> body) {
  Enter(*record);
  // A thread the host cannot make (no memory, a limit on threads) must not stay registered: the
  // clock would wait for it for ever. The failure goes on to the caller.
  struct Unregister {
    Clock& clock;
    ThreadRecord& record;
    bool armed = true;
    ~Unregister() {
      if (!armed) return;
      record.ended = true;
      clock.Leave(record);
    }
  } unregister{*this, *record};
  std::thread thread([this, record, body = std::move(body)] {
    SetCurrentThread(record.get());
    {
      Lock lock(mutex_);
      AwaitTurn(lock, *record);
    }
    body();
    Lock lock(mutex_);
    record->ended = true;
    Notify();  // wake joiners first, or the clock would see everybody blocked
    Leave(*record);
    SetCurrentThread(nullptr);
  });
  unregister.armed = false;
  return {std::move(record), std::move(thread), true};
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

ThreadScope::ThreadScope(std::string name, Clock& clock)
    : clock_(clock),
      record_(std::make_shared<ThreadRecord>(std::move(name))),
      previous_(CurrentThread()) {
  Lock lock(clock_.Mutex());
  clock_.Enter(*record_);
  SetCurrentThread(record_.get());
  clock_.AwaitTurn(lock, *record_);
}

ThreadScope::~ThreadScope() {
  Lock lock(clock_.Mutex());
  record_->ended = true;
  clock_.Notify();
  clock_.Leave(*record_);
  SetCurrentThread(previous_);
}

SpawnedThread Spawn(std::string name, std::function<void()> body) {
  Clock& clock = Current();
  Lock lock(clock.Mutex());
  return clock.StartLocked(std::make_shared<ThreadRecord>(std::move(name)), std::move(body));
}

void Join(SpawnedThread& thread) {
  if (!thread.joinable) return;
  {
    Clock& clock = Current();
    Lock lock(clock.Mutex());
    const ThreadRecord& record = *thread.record;
    const std::function<bool()> ended = [&record] { return record.ended; };
    clock.Wait(lock, ended, std::nullopt, "Join(" + record.name + ")");
  }
  if (thread.thread.joinable()) thread.thread.join();
  thread.joinable = false;
}

void Detach(SpawnedThread& thread) {
  if (thread.thread.joinable()) thread.thread.detach();
  thread.joinable = false;
}

void RequireRealTime(std::string_view what) {
  if (!Current().Virtual()) return;
  std::fprintf(stderr, "clock: %.*s waits on the outside world, which the virtual clock cannot\n",
               static_cast<int>(what.size()), what.data());
  std::abort();
}

WaitResult SleepFor(Duration duration) {
  Clock& clock = Current();
  Lock lock(clock.Mutex());
  return clock.Wait(lock, kNever, clock.Now() + duration, "Sleep");
}

}  // namespace platform::clock
