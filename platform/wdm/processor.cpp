#include "platform/wdm/processor.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/wdm/verifier.h"
#include "platform/wdm/wdm.h"

namespace platform::wdm {
namespace {

std::atomic<Processor*> gProcessor{nullptr};

}  // namespace

Processor* CurrentProcessor() {
  return gProcessor.load();
}

Processor::~Processor() {
  if (gProcessor.load() == this) {
    std::fprintf(stderr, "processor: destroyed while running\n");
    std::abort();
  }
}

void Processor::Run() {
  {
    clock::Clock& clock = clock::Current();
    clock::Lock lock(clock.Mutex());
    Processor* expected = nullptr;
    if (!gProcessor.compare_exchange_strong(expected, this)) {
      std::fprintf(stderr, "processor: another processor is running\n");
      std::abort();
    }
    thread_ = clock::ThisThread();
    clock.Notify();  // whoever waits for the processor to run
  }
  Loop(nullptr, std::nullopt, "processor: idle", true);
  thread_ = 0;
  gProcessor.store(nullptr);
}

void Processor::Stop() {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  stopping_ = true;
  clock.Notify();
}

Processor::WorkId Processor::Schedule(clock::Time due, std::function<void()> work) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  WorkId id = nextId_++;
  std::uint32_t slot;
  if (freeSlots_.empty()) {
    slot = static_cast<std::uint32_t>(work_.size());
    work_.push_back(std::move(work));
  } else {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
    work_[slot] = std::move(work);
  }
  Key key{due, id, slot};
  order_.insert(std::upper_bound(order_.begin(), order_.end(), key,
                                 [](const Key& a, const Key& b) { return b < a; }),
                key);
  ++generation_;
  // Only the processor waits on its queue: work it schedules itself needs no wake-up.
  if (!OnProcessor()) clock.Notify();
  return id;
}

Processor::WorkId Processor::Post(std::function<void()> work) {
  return Schedule(clock::Current().Now(), std::move(work));
}

bool Processor::Cancel(WorkId id) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  auto it =
      std::find_if(order_.begin(), order_.end(), [id](const Key& key) { return key.id == id; });
  if (it == order_.end()) return false;
  work_[it->slot] = nullptr;
  freeSlots_.push_back(it->slot);
  order_.erase(it);
  ++generation_;
  clock.Notify();
  return true;
}

clock::WaitResult Processor::RunUntil(const std::function<bool()>& done,
                                      std::optional<clock::Time> deadline, std::string_view what) {
  if (!OnProcessor()) {
    std::fprintf(stderr, "processor: RunUntil called off the processor\n");
    std::abort();
  }
  return Loop(&done, deadline, what, false);
}

// The idle top level marks the thread as a service thread: a processor with nothing to do does
// not make the clock report a deadlock, but a nested wait that can never end does.
clock::WaitResult Processor::Loop(const std::function<bool()>* done,
                                  std::optional<clock::Time> deadline, std::string_view what,
                                  bool top) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  for (;;) {
    if (top && stopping_) return clock::WaitResult::kReady;
    if (done != nullptr && (*done)()) return clock::WaitResult::kReady;
    clock::Time now = clock.Now();
    if (!order_.empty() && First().due <= now) {
      std::function<void()> work = TakeFirst();
      lock.unlock();
      work();
      if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        verifier::Report("work on the processor returned at a raised IRQL");
        KeLowerIrql(PASSIVE_LEVEL);
      }
      lock.lock();
      continue;
    }
    if (deadline && now >= *deadline) return clock::WaitResult::kTimedOut;
    std::optional<clock::Time> wake = deadline;
    if (!order_.empty() && (!wake || First().due < *wake)) wake = First().due;
    // One pointer captured: the function keeps it in place instead of on the heap.
    struct {
      const Processor& self;
      std::uint64_t generation;
      const std::function<bool()>* done;
      bool top;
    } awaited{*this, generation_, done, top};
    const std::function<bool()> ready = [&awaited] {
      return awaited.self.generation_ != awaited.generation ||
             (awaited.top && awaited.self.stopping_) ||
             (awaited.done != nullptr && (*awaited.done)());
    };
    clock::ThreadRecord* me = clock::CurrentThread();
    bool wasDaemon = me != nullptr && me->daemon;
    if (me != nullptr) me->daemon = top;
    clock::WaitResult result = clock.Wait(lock, ready, wake, what);
    if (me != nullptr) me->daemon = wasDaemon;
    if (result == clock::WaitResult::kInterrupted) return result;
  }
}

std::function<void()> Processor::TakeFirst() {
  std::uint32_t slot = First().slot;
  order_.pop_back();
  freeSlots_.push_back(slot);
  return std::move(work_[slot]);
}

void Processor::Call(const std::function<void()>& fn) {
  if (OnProcessor()) {
    fn();
    return;
  }
  bool finished = false;
  Post([&] {
    fn();
    clock::Clock& clock = clock::Current();
    clock::Lock lock(clock.Mutex());
    finished = true;
    clock.Notify();
  });
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  const std::function<bool()> ready = [&] { return finished; };
  clock.Wait(lock, ready, std::nullopt, "Processor::Call");
}

}  // namespace platform::wdm
