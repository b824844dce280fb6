// The virtual clock's threads as fibers. Registered threads already run one at a time, so
// handing the turn on needs no OS thread to wake: a fiber has a stack of its own and runs on
// whichever OS thread hands it the turn, by a user-space context switch (Boost.Context's
// fcontext, a few nanoseconds, against microseconds for the wake-up of an OS thread).
//
// Every switch is made with the clock's mutex held, and the context switched to carries on
// holding it: the mutex stays locked by the OS thread that runs whichever context holds it.
// Under AddressSanitizer each switch is announced to it; ThreadSanitizer tracks a mutex's owner
// per fiber and would take that hand-over for an unlock by the wrong thread, so a build for it
// keeps the clock's threads on OS threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/clock/clock.h"

namespace platform::clock {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kFibers = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kFibers = false;
#else
inline constexpr bool kFibers = true;
#endif
#else
inline constexpr bool kFibers = true;
#endif

// A fiber's own: its stack, mapped with an inaccessible guard region below it so that an
// overflow faults and is reported as such, and its first function.
struct Fiber {
  // Throws std::system_error when the stack cannot be mapped.
  explicit Fiber(std::function<void()> main);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  char* mapping;
  // Once it has ended: where its frames that never returned begin (AddressSanitizer has their
  // red zones marked, and the stack's next thread must not inherit them).
  const char* lastFrames = nullptr;
  std::function<void()> main;  // never returns: it ends in ExitFiber
  // The registered OS thread (or the clock's carrier) that runs it now, under the clock's mutex.
  ThreadRecord* carrier = nullptr;
};

// The stack each fiber gets, as much as an OS thread's by default; pages are only committed
// when touched.
inline constexpr std::size_t kFiberStack = std::size_t{8} << 20;

// Makes `record` a fiber that runs main() when first switched to.
void MakeFiber(ThreadRecord& record, std::function<void()> main);

// Switches from `from`, the context running on this OS thread, to `to`, which runs on it from
// where it left off; returns when some OS thread switches back to `from`. The clock's mutex is
// held throughout.
void SwitchTo(ThreadRecord& from, ThreadRecord& to);

// Switches from the calling fiber to `to` for the last time; `to` unmaps the fiber's stack and
// lets go of `from`.
[[noreturn]] void ExitFiber(std::shared_ptr<ThreadRecord> from, ThreadRecord& to);

// Keeps the stack of a fiber that never ended as it is, for the life of the process: as an OS
// thread blocked for ever keeps its own, and what its frames point to is not a leak.
void AbandonFiber(std::shared_ptr<ThreadRecord> record);

// The record of the context running on this OS thread: a fiber, a registered OS thread, or the
// record an OS thread runs fibers under (null for a thread the clock does not know).
void SetCurrentThread(ThreadRecord* record);

}  // namespace platform::clock
