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
    AdvanceWhileIdle();
    wake_.wait(lock, [me] { return !me->blocked; });
  }
}

void VirtualClock::Unblock(ThreadRecord& thread) {
  thread.blocked = false;
  thread.ready = nullptr;
  --blocked_;
}

void VirtualClock::Notify() {
  bool woke = false;
  for (ThreadRecord* thread : threads_) {
    if (thread->blocked && (thread->interrupted || (*thread->ready)())) {
      Unblock(*thread);
      woke = true;
    }
  }
  if (woke) wake_.notify_all();
}

void VirtualClock::Enter(ThreadRecord& thread) {
  thread.registered = true;
  threads_.push_back(&thread);
}

void VirtualClock::Leave(ThreadRecord& thread) {
  thread.registered = false;
  std::erase(threads_, &thread);
  AdvanceWhileIdle();
}

// Decided under the lock by the thread that blocks last (or leaves last), so no thread is ever
// counted blocked while a wake-up for it is already decided.
void VirtualClock::AdvanceWhileIdle() {
  while (!threads_.empty() && blocked_ == threads_.size()) {
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
      wake_.notify_all();
      return;
    }
    if (*earliest > Now()) {
      now_.store(earliest->count(), std::memory_order_release);
      ++advances_;
    }
    for (ThreadRecord* thread : threads_) {
      if (thread->deadline && *thread->deadline <= *earliest) Unblock(*thread);
    }
    wake_.notify_all();
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
