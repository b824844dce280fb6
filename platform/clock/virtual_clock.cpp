#include "platform/clock/virtual_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/clock/fiber.h"

namespace platform::clock {

VirtualClock::VirtualClock()
    : onDeadlock_([](const std::string& report) {
        std::fprintf(stderr, "%s", report.c_str());
        std::abort();
      }) {}

VirtualClock::~VirtualClock() {
  Shutdown();
  Lock lock(Mutex());
  carrierStopping_ = true;
  if (carrierRecord_) carrierRecord_->turn.notify_one();
  lock.unlock();
  if (carrier_.joinable()) carrier_.join();
  // Threads still blocked now never end, as OS threads blocked for ever would not.
  for (std::shared_ptr<ThreadRecord>& fiber : fibers_) AbandonFiber(std::move(fiber));
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
    Park(lock, *me);
  }
}

void VirtualClock::AwaitTurn(Lock& lock, ThreadRecord& thread) {
  Park(lock, thread);
}

void VirtualClock::Park(Lock& lock, ThreadRecord& me) {
  if (!me.fiber) {
    const std::function<bool()> mine = [this, &me] { return running_ == &me; };
    Carry(lock, me, mine);
    return;
  }
  while (running_ != &me) SwitchTo(me, Successor(me));
}

ThreadRecord& VirtualClock::Successor(ThreadRecord& me) {
  ThreadRecord& carrier = *me.fiber->carrier;
  me.fiber->carrier = nullptr;
  ThreadRecord* next = Uncarried();
  if (next == nullptr) return carrier;
  next->fiber->carrier = &carrier;
  return *next;
}

void VirtualClock::Carry(Lock& lock, ThreadRecord& carrier, const std::function<bool()>& done) {
  while (!done()) {
    if (ThreadRecord* next = Uncarried()) {
      next->fiber->carrier = &carrier;
      SwitchTo(carrier, *next);
      continue;
    }
    idle_.push_back(&carrier);
    carrier.turn.wait(lock);
    std::erase(idle_, &carrier);
  }
}

ThreadRecord* VirtualClock::Uncarried() const {
  return running_ != nullptr && running_->fiber && running_->fiber->carrier == nullptr ? running_
                                                                                       : nullptr;
}

void VirtualClock::WakeCarrier() {
  if (Uncarried() == nullptr) return;
  auto registered = std::find_if(idle_.begin(), idle_.end(),
                                 [](const ThreadRecord* carrier) { return carrier->registered; });
  if (registered != idle_.end()) {
    (*registered)->turn.notify_one();
  } else if (!idle_.empty()) {
    idle_.front()->turn.notify_one();
  } else if (!carrier_.joinable()) {
    // A started carrier that is not idle is on its way to look.
    carrierRecord_ = std::make_shared<ThreadRecord>("fiber carrier");
    carrier_ = std::thread([this] {
      SetCurrentThread(carrierRecord_.get());
      Lock lock(Mutex());
      const std::function<bool()> stopping = [this] { return carrierStopping_; };
      Carry(lock, *carrierRecord_, stopping);
      SetCurrentThread(nullptr);
    });
  }
}

SpawnedThread VirtualClock::StartLocked(std::shared_ptr<ThreadRecord> record,
                                        std::function<void()> body) {
  if (!kFibers) return Clock::StartLocked(std::move(record), std::move(body));
  ThreadRecord& me = *record;
  MakeFiber(me, [this, &me, body = std::move(body)]() mutable { FiberMain(me, body); });
  fibers_.push_back(record);
  Enter(me);
  return {std::move(record), {}, true};
}

// Entered by a switch, with the clock's mutex held and the turn; leaves by a switch.
void VirtualClock::FiberMain(ThreadRecord& me, std::function<void()>& body) {
  Mutex().unlock();
  {
    std::function<void()> run = std::move(body);
    run();
  }
  {
    detail::Slots values = std::move(me.slots);  // destroyed on the fiber, as thread_locals are
  }
  Mutex().lock();
  me.ended = true;
  Notify();  // wake joiners first, or the clock would see everybody blocked
  Remove(me);
  auto self = std::find_if(fibers_.begin(), fibers_.end(),
                           [&me](const auto& fiber) { return fiber.get() == &me; });
  std::shared_ptr<ThreadRecord> record = std::move(*self);
  fibers_.erase(self);
  ThreadRecord& successor = Successor(me);
  ExitFiber(std::move(record), successor);
}

void VirtualClock::Yield(Lock& lock) {
  ThreadRecord* me = CurrentThread();
  if (me == nullptr || running_ != me || runnable_.empty()) return;
  runnable_.push_back(me);
  running_ = nullptr;
  PassTurn();
  Park(lock, *me);
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
  WakeCarrier();
}

void VirtualClock::Enter(ThreadRecord& thread) {
  thread.registered = true;
  threads_.push_back(&thread);
  runnable_.push_back(&thread);
  PassTurn();
  WakeCarrier();
}

void VirtualClock::Leave(ThreadRecord& thread) {
  Remove(thread);
  WakeCarrier();
}

void VirtualClock::Remove(ThreadRecord& thread) {
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
  if (!running_->fiber) running_->turn.notify_one();  // a fiber is switched to
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
