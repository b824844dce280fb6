// Events and waits, fast mutexes, spin locks and interlocked operations.
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/clock/per_thread.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/processor.h"
#include "platform/wdm/verifier.h"

namespace {

using platform::wdm::verifier::Report;
namespace clock = platform::clock;

// Identifies the calling thread as an owner of locks.
PVOID Me() {
  return reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(clock::ThisThread()));
}

std::atomic_ref<LONG> Atomic(LONG volatile* p) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(p));
}

}  // namespace

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  event->Header = DISPATCHER_HEADER{};
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.Size = sizeof(KEVENT);
  event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PKEVENT event, LONG, BOOLEAN) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  clock.Notify();
  return previous;
}

LONG KeResetEvent(PKEVENT event) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

void KeClearEvent(PKEVENT event) {
  KeResetEvent(event);
}

LONG KeReadStateEvent(PKEVENT event) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  bool blocking = timeout == nullptr || timeout->QuadPart != 0;
  if (blocking && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    Report("KeWaitForSingleObject blocks at DISPATCH_LEVEL (in a DPC or a completion routine)");
    return STATUS_TIMEOUT;
  }
  std::optional<clock::Time> deadline;
  if (timeout != nullptr) deadline = platform::wdm::kernel::DueTime(*timeout);
  const std::function<bool()> signalled = [header] { return header->SignalState != 0; };
  clock::WaitResult result;
  platform::wdm::Processor* processor = platform::wdm::CurrentProcessor();
  if (processor != nullptr && processor->OnProcessor()) {
    result = processor->RunUntil(signalled, deadline, "KeWaitForSingleObject");
  } else {
    clock::Clock& clock = clock::Current();
    clock::Lock lock(clock.Mutex());
    result = clock.Wait(lock, signalled, deadline, "KeWaitForSingleObject");
  }
  if (result != clock::WaitResult::kReady) return STATUS_TIMEOUT;
  if (header->Type == SynchronizationEvent) {
    clock::Clock& clock = clock::Current();
    clock::Lock lock(clock.Mutex());
    header->SignalState = 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    Report("KeDelayExecutionThread at DISPATCH_LEVEL (in a DPC or a completion routine)");
    return STATUS_SUCCESS;
  }
  const clock::Time deadline = platform::wdm::kernel::DueTime(*interval);
  const std::function<bool()> never = [] { return false; };
  platform::wdm::Processor* processor = platform::wdm::CurrentProcessor();
  if (processor != nullptr && processor->OnProcessor()) {
    processor->RunUntil(never, deadline, "KeDelayExecutionThread");
  } else {
    clock::Clock& clock = clock::Current();
    clock::Lock lock(clock.Mutex());
    clock.Wait(lock, never, deadline, "KeDelayExecutionThread");
  }
  return STATUS_SUCCESS;
}

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  *mutex = FAST_MUTEX{1, nullptr, 0, 0};
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL) Report("ExAcquireFastMutex above APC_LEVEL");
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  if (mutex->Owner == Me()) {
    Report("ExAcquireFastMutex on a fast mutex the thread already holds (deadlock)");
    return;
  }
  const std::function<bool()> free = [mutex] { return mutex->Owner == nullptr; };
  clock.Wait(lock, free, std::nullopt, "ExAcquireFastMutex");
  mutex->Owner = Me();
  mutex->Count = 0;
  mutex->OldIrql = irql;
  lock.unlock();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL > irql ? APC_LEVEL : irql, &old);
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  clock::Clock& clock = clock::Current();
  clock::Lock lock(clock.Mutex());
  if (mutex->Owner != Me()) {
    Report("ExReleaseFastMutex on a fast mutex the thread does not hold");
    return;
  }
  mutex->Owner = nullptr;
  mutex->Count = 1;
  KIRQL old = static_cast<KIRQL>(mutex->OldIrql);
  clock.Notify();
  lock.unlock();
  KeLowerIrql(old);
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
  *lock = 0;
}

// Only the processor takes spin locks, so a lock that is already held can only be the caller's
// own: on the platform that spins forever.
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
  if (*lock != 0) Report("KeAcquireSpinLock on a spin lock that is already held (deadlock)");
  *lock = reinterpret_cast<KSPIN_LOCK>(Me());
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  if (*lock == 0) Report("KeReleaseSpinLock on a spin lock that is not held");
  *lock = 0;
  KeLowerIrql(newIrql);
}

LONG InterlockedIncrement(LONG volatile* addend) {
  return Atomic(addend).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile* addend) {
  return Atomic(addend).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return Atomic(target).exchange(value);
}

LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  return Atomic(addend).fetch_add(value);
}

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  Atomic(destination).compare_exchange_strong(comparand, exchange);
  return comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return std::atomic_ref<PVOID>(*const_cast<PVOID*>(target)).exchange(value);
}
