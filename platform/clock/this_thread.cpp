// Which thread is running: the record the clock knows it by, its identity and its values.
#include <atomic>

#include "platform/clock/clock.h"
#include "platform/clock/fiber.h"

namespace platform::clock {
namespace {

std::atomic<ThreadId> gNextId{1};

// The OS thread's own: what runs on it now, and its identity and values as an OS thread. Read
// only in these out-of-line functions, so that code that switches fibers and carries on on
// another OS thread reads the variables of the one it is on.
thread_local ThreadRecord* tCurrent = nullptr;
thread_local ThreadId tOsId = 0;
thread_local detail::Slots tOsSlots;

}  // namespace

ThreadRecord::ThreadRecord(std::string n) : name(std::move(n)), id(gNextId.fetch_add(1)) {}
ThreadRecord::~ThreadRecord() = default;

void SetCurrentThread(ThreadRecord* record) {
  tCurrent = record;
}

ThreadRecord* CurrentThread() {
  return tCurrent;
}

ThreadId ThisThread() {
  ThreadRecord* current = tCurrent;
  if (current != nullptr && current->fiber) return current->id;
  if (tOsId == 0) tOsId = gNextId.fetch_add(1);
  return tOsId;
}

namespace detail {

Slots& CurrentSlots() {
  ThreadRecord* current = tCurrent;
  return current != nullptr && current->fiber ? current->slots : tOsSlots;
}

std::size_t NewSlot() {
  static std::atomic<std::size_t> next{0};
  return next.fetch_add(1);
}

}  // namespace detail
}  // namespace platform::clock
