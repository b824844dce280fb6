#include "platform/clock/virtual_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace platform::clock {

VirtualClock::VirtualClock()
    : onDeadlock_([](const std::string& report) {
        std::fprintf(stderr, "%s", report.c_str());
        std::abort();
      }) {}

VirtualClock::~VirtualClock() {
  Shutdown();
}

void VirtualClock::SetDeadlockHandler(DeadlockHandler handler) {
  Lock lock(Mutex());
  onDeadlock_ = std::move(handler);
}

WaitResult VirtualClock::Wait(Lock& lock, const std::function<bool()>& ready,
                              std::optional<Time> deadline, std::string_view what) {
  ThreadRecord* me = CurrentThread();
  CheckRegistered(me);
  for (;;) {
    if (me->interrupted) return WaitResult::kInterrupted;
    if (ready()) return WaitResult::kReady;
    if (deadline && Now() >= *deadline) return WaitResult::kTimedOut;
    me->blocked = true;
    me->deadline = deadline;
    me->ready = &ready;
    me->what = what;
    ++blocked_;
    if (running_ == me) running_ = nullptr;
    PassTurn();
    me->turn.wait(lock, [this, me] { return running_ == me; });
  }
}

void VirtualClock::AwaitTurn(Lock& lock, ThreadRecord& thread) {
  thread.turn.wait(lock, [this, &thread] { return running_ == &thread; });
}

void VirtualClock::Yield(Lock& lock) {
  ThreadRecord* me = CurrentThread();
  if (me == nullptr || running_ != me || runnable_.empty()) return;
  runnable_.push_back(me);
  running_ = nullptr;
  PassTurn();
  AwaitTurn(lock, *me);
}

void VirtualClock::Unblock(ThreadRecord& thread) {
  thread.blocked = false;
  thread.ready = nullptr;
  --blocked_;
  runnable_.push_back(&thread);
}

void VirtualClock::Notify() {
  for (ThreadRecord* thread : threads_) {
    if (thread->blocked && (thread->interrupted || (*thread->ready)())) Unblock(*thread);
  }
  PassTurn();
}

void VirtualClock::Enter(ThreadRecord& thread) {
  thread.registered = true;
  threads_.push_back(&thread);
  runnable_.push_back(&thread);
  PassTurn();
}

void VirtualClock::Leave(ThreadRecord& thread) {
  thread.registered = false;
  std::erase(threads_, &thread);
  std::erase(runnable_, &thread);
  if (running_ == &thread) running_ = nullptr;
  if (lastRunning_ == &thread) lastRunning_ = nullptr;
  PassTurn();
}

// Decided under the lock, so no thread is ever counted blocked while a wake-up for it is
// already decided.
void VirtualClock::PassTurn() {
  if (running_ != nullptr) return;
  if (runnable_.empty()) AdvanceToNextDeadline();
  if (runnable_.empty()) return;
  running_ = runnable_.front();
  runnable_.pop_front();
  if (running_ != lastRunning_) handovers_.fetch_add(1, std::memory_order_relaxed);
  lastRunning_ = running_;
  running_->turn.notify_one();
}

void VirtualClock::AdvanceToNextDeadline() {
  if (threads_.empty() || blocked_ != threads_.size()) return;
  std::optional<Time> earliest;
  for (const ThreadRecord* thread : threads_) {
    if (thread->deadline && (!earliest || *thread->deadline < *earliest)) {
      earliest = thread->deadline;
    }
  }
  if (!earliest) {
    bool onlyDaemons = std::all_of(threads_.begin(), threads_.end(),
                                   [](const ThreadRecord* thread) { return thread->daemon; });
    if (onlyDaemons) return;
    onDeadlock_(DeadlockReport());
    for (ThreadRecord* thread : threads_) {
      thread->interrupted = true;
      Unblock(*thread);
    }
    return;
  }
  if (*earliest > Now()) {
    now_.store(earliest->count(), std::memory_order_release);
    advances_.fetch_add(1, std::memory_order_relaxed);
  }
  for (ThreadRecord* thread : threads_) {
    if (thread->blocked && thread->deadline && *thread->deadline <= *earliest) Unblock(*thread);
  }
}

std::string VirtualClock::DeadlockReport() const {
  std::string report = "virtual clock: deadlock at " + std::to_string(Now().count() / 1000000) +
                       " ms: every thread waits without a deadline\n";
  for (const ThreadRecord* thread : threads_) {
    report += "  thread '" + thread->name + "' waits on " + std::string(thread->what) + "\n";
  }
  return report;
}

}  // namespace platform::clock
