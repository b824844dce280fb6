// Values of one thread of the program, where `thread_local` would be wrong: under the virtual
// clock several threads run as fibers on one OS thread (platform/clock/fiber.h), and each keeps
// its own values and its own identity. An OS thread (the real clock's, a registered thread of
// the virtual clock's, one the clock does not know) keeps its values as `thread_local` would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace platform::clock {

// Identifies the calling thread: unique in the process, never reused, never 0.
using ThreadId = std::uint64_t;
ThreadId ThisThread();

namespace detail {

struct SlotBase {
  virtual ~SlotBase() = default;
};
template <typename T>
struct Slot final : SlotBase {
  explicit Slot(const T& initial) : value(initial) {}
  T value;
};
using Slots = std::vector<std::unique_ptr<SlotBase>>;

// The calling thread's values: its fiber's, or its OS thread's.
Slots& CurrentSlots();
std::size_t NewSlot();

}  // namespace detail

// One T per thread, made from `initial` on the thread's first use.
template <typename T>
class PerThread {
 public:
  explicit PerThread(T initial = T{}) : initial_(std::move(initial)) {}
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;

  T& operator*() const {
    detail::Slots& slots = detail::CurrentSlots();
    if (index_ >= slots.size()) slots.resize(index_ + 1);
    std::unique_ptr<detail::SlotBase>& slot = slots[index_];
    if (!slot) slot = std::make_unique<detail::Slot<T>>(initial_);
    return static_cast<detail::Slot<T>&>(*slot).value;
  }
  T* operator->() const { return &**this; }

 private:
  const std::size_t index_ = detail::NewSlot();
  const T initial_;
};

}  // namespace platform::clock
