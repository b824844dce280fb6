// The kernel's one processor: a thread that takes work in time order (posted calls, timers and
// their deferred procedure calls, the bus's frames) and runs it one item at a time, so that the
// driver runs deterministically, as on a machine with one CPU. Time is the clock's: with the
// virtual clock an idle processor lets time jump to its next due item.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/clock/clock.h"

namespace platform::wdm {

class Processor {
 public:
  using WorkId = std::uint64_t;

  Processor() = default;
  ~Processor();
  Processor(const Processor&) = delete;
  Processor& operator=(const Processor&) = delete;

  // Runs work on the calling thread (a thread the clock knows) until Stop(). The processor is
  // the kernel's while it runs.
  void Run();
  // Makes Run return once the item running now has finished. Any thread.
  void Stop();

  // Runs `work` on the processor once the clock reaches `due`; items due at the same time run
  // in the order they were scheduled. Any thread.
  WorkId Schedule(clock::Time due, std::function<void()> work);
  WorkId Post(std::function<void()> work);
  // False when the item has already run, is running, or never existed.
  bool Cancel(WorkId id);

  bool OnProcessor() const { return clock::ThisThread() == thread_; }

  // On the processor: runs due work until done() holds (it is evaluated under the clock's lock)
  // or the deadline passes. This is how a passive-level wait lets the rest of the kernel run.
  clock::WaitResult RunUntil(const std::function<bool()>& done, std::optional<clock::Time> deadline,
                             std::string_view what);

  // Runs fn on the processor and returns when it has run: at once on the processor, else by
  // handing it over and waiting (the way threads outside the kernel reach it).
  void Call(const std::function<void()>& fn);

 private:
  struct Key {
    clock::Time due;
    WorkId id;
    std::uint32_t slot;  // where the work waits in work_
    bool operator<(const Key& other) const {
      return due != other.due ? due < other.due : id < other.id;
    }
  };

  clock::WaitResult Loop(const std::function<bool()>* done, std::optional<clock::Time> deadline,
                         std::string_view what, bool top);
  std::function<void()> TakeFirst();
  const Key& First() const { return order_.back(); }

  // Under the clock's lock. The keys in order, latest first, so that the next item is at the
  // back; the work itself stays in its slot until it runs. Nothing is allocated once the
  // vectors have grown to the busiest moment's size, and only small keys move.
  std::vector<Key> order_;
  std::vector<std::function<void()>> work_;
  std::vector<std::uint32_t> freeSlots_;
  WorkId nextId_ = 1;
  std::uint64_t generation_ = 0;
  bool stopping_ = false;
  clock::ThreadId thread_ = 0;
};

// The processor that is running now (inside Run), or null.
Processor* CurrentProcessor();

}  // namespace platform::wdm
