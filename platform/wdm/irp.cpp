// Request packets: allocation, the stack of locations, calling a driver, completion with its
// completion routines, cancellation, and the rules the verifier checks on their way.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "platform/base/spin_lock.h"
#include "platform/clock/trace.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/preemption.h"
#include "platform/wdm/verifier.h"

namespace {

namespace kernel = platform::wdm::kernel;
namespace trace = platform::trace;
using platform::wdm::verifier::Report;

constexpr CSHORT kIrpType = 6;

enum class Origin { kAllocated, kBuilt, kManager };
// Who has the request: its originator (not sent, or back in a completion routine of the
// originator), a driver (a dispatch routine took it; it is pending or being completed), or
// nobody (completed to the top).
enum class Holder { kOriginator, kDriver, kFinished };

struct IrpState {
  Origin origin = Origin::kAllocated;
  Holder holder = Holder::kOriginator;
  DRIVER_OBJECT* driver = nullptr;
  const DEVICE_OBJECT* device = nullptr;
  std::function<void(PIRP)> onComplete;
  // The originator's stack location: a completion routine that runs once completion has come
  // back up to it belongs to the originator (who may have kept a location of its own).
  CCHAR originLocation = 0;
  bool abandoned = false;  // a manager stopped waiting for it
  // Counts the request's passes down (IofCallDriver): a completion routine that passes it down
  // again before it returns STATUS_MORE_PROCESSING_REQUIRED leaves it with that lower driver.
  std::uint64_t passes = 0;
  // Which request this is: a block freed and made again for another request gets a new one.
  std::uint64_t serial = 0;
};

// A request's memory: its state, then the request and its stack locations. The state travels
// with the request, so finding it is pointer arithmetic, not a lookup. Blocks are never given
// back to the system: a freed block waits in a spare list for the next request of its stack
// size, so its header stays readable and a request freed twice is still recognised (the
// kernel's own request lists recycle memory the same way).
struct alignas(16) IrpBlock {
  static constexpr std::uint32_t kLive = 0x4C495652;  // 'RVIL'
  static constexpr std::uint32_t kFree = 0x45455246;  // 'FREE'
  std::uint32_t mark = kFree;
  CCHAR stackSize = 0;
  IrpState state;
  IrpBlock* prev = nullptr;  // the list of live requests
  IrpBlock* next = nullptr;

  PIRP irp() { return reinterpret_cast<PIRP>(this + 1); }
  static IrpBlock* Of(PIRP irp) { return reinterpret_cast<IrpBlock*>(irp) - 1; }
  static std::size_t Bytes(CCHAR stackSize) {
    return sizeof(IrpBlock) + sizeof(IRP) +
           static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  }
};

struct Requests {
  platform::SpinLock mutex;
  IrpBlock* live = nullptr;
  std::uint64_t serials = 0;
  std::array<std::vector<IrpBlock*>, 128> spare;  // by stack size
};

// Never destroyed: requests that outlive the program's end stay reachable, and none is touched
// after its state is gone.
Requests& TheRequests() {
  static Requests* requests = new Requests;
  return *requests;
}

// The request's memory beyond its header is off limits while it waits in the spare list, so a
// use after free still stops a checked build.
void Poison(IrpBlock* block, bool poisoned) {
#if defined(__SANITIZE_ADDRESS__)
  std::size_t bytes = IrpBlock::Bytes(block->stackSize) - sizeof(IrpBlock);
  if (poisoned) {
    ASAN_POISON_MEMORY_REGION(block->irp(), bytes);
  } else {
    ASAN_UNPOISON_MEMORY_REGION(block->irp(), bytes);
  }
#else
  (void)block;
  (void)poisoned;
#endif
}

// The state of a live request.
IrpState* Find(PIRP irp) {
  if (irp == nullptr) return nullptr;
  IrpBlock* block = IrpBlock::Of(irp);
  return block->mark == IrpBlock::kLive ? &block->state : nullptr;
}

IrpBlock* TakeBlock(CCHAR stackSize) {
  Requests& requests = TheRequests();
  std::lock_guard lock(requests.mutex);
  std::vector<IrpBlock*>& spare = requests.spare[static_cast<std::size_t>(stackSize)];
  IrpBlock* block = nullptr;
  if (spare.empty()) {
    block = new (::operator new(IrpBlock::Bytes(stackSize))) IrpBlock;
    block->stackSize = stackSize;
  } else {
    block = spare.back();
    spare.pop_back();
    Poison(block, false);
  }
  block->next = requests.live;
  if (block->next != nullptr) block->next->prev = block;
  requests.live = block;
  block->state.serial = ++requests.serials;
  return block;
}

PIRP Make(CCHAR stackSize, Origin origin) {
  if (stackSize < 1) stackSize = 1;
  IrpBlock* block = TakeBlock(stackSize);
  std::size_t size = sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  PIRP irp = block->irp();
  std::memset(static_cast<void*>(irp), 0, size);
  auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Type = kIrpType;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  kernel::Context& context = kernel::Current();
  IrpState& state = block->state;
  state.origin = origin;
  state.driver = context.driver;
  state.device = context.device;
  block->mark = IrpBlock::kLive;
  return irp;
}

void Destroy(PIRP irp) {
  IrpBlock* block = IrpBlock::Of(irp);
  block->mark = IrpBlock::kFree;
  block->state = IrpState{};
  Requests& requests = TheRequests();
  std::lock_guard lock(requests.mutex);
  if (block->prev != nullptr) block->prev->next = block->next;
  if (block->next != nullptr) block->next->prev = block->prev;
  if (requests.live == block) requests.live = block->next;
  block->prev = block->next = nullptr;
  Poison(block, true);
  requests.spare[static_cast<std::size_t>(block->stackSize)].push_back(block);
}

bool ShouldInvoke(UCHAR control, NTSTATUS status, BOOLEAN cancelled) {
  if (cancelled && (control & SL_INVOKE_ON_CANCEL) != 0) return true;
  return (control & (NT_SUCCESS(status) ? SL_INVOKE_ON_SUCCESS : SL_INVOKE_ON_ERROR)) != 0;
}

// Completion has gone past the last stack location.
void FinishAtTop(PIRP irp, IrpState& state) {
  switch (state.origin) {
    case Origin::kBuilt: {
      if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
      PKEVENT event = irp->UserEvent;
      Destroy(irp);
      if (event != nullptr) KeSetEvent(event, 0, FALSE);
      return;
    }
    case Origin::kManager:
      state.holder = Holder::kFinished;
      if (state.abandoned) {
        Destroy(irp);
        return;
      }
      if (state.onComplete) state.onComplete(irp);
      return;
    case Origin::kAllocated:
      Report(
          "a request from IoAllocateIrp completed to the top without a completion routine "
          "that keeps it (STATUS_MORE_PROCESSING_REQUIRED)");
      state.holder = Holder::kOriginator;
      return;
  }
}

bool HasNextLocation(PIRP irp, const char* call) {
  if (irp->CurrentLocation > 1) return true;
  Report(std::string(call) + " on a request that has no stack location left below the caller");
  return false;
}

}  // namespace

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  if (kernel::AllocationFails(platform::wdm::pool::kRequest)) return nullptr;
  return Make(stackSize, Origin::kAllocated);
}

void IoFreeIrp(PIRP irp) {
  IrpState* state = Find(irp);
  if (state == nullptr) {
    Report("IoFreeIrp of a request that does not exist (freed twice?)");
    return;
  }
  if (state->origin != Origin::kAllocated) {
    Report("IoFreeIrp of a request that was not made by IoAllocateIrp");
    return;
  }
  if (state->holder == Holder::kDriver) {
    // Left allocated on purpose: the lower driver still uses it.
    Report("IoFreeIrp of a request that a lower driver still owns");
    return;
  }
  Destroy(irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
  if (kernel::AllocationFails(platform::wdm::pool::kRequest)) return nullptr;
  PIRP irp = Make(deviceObject->StackSize, Origin::kBuilt);
  irp->UserEvent = event;
  irp->UserIosb = ioStatusBlock;
  irp->UserBuffer = outputBuffer;
  irp->AssociatedIrp.SystemBuffer = inputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
  return irp;
}

void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  if (!HasNextLocation(irp, "IoCopyCurrentIrpStackLocationToNext")) return;
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memcpy(static_cast<void*>(next), current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                            BOOLEAN invokeOnCancel) {
  if (!HasNextLocation(irp, "IoSetCompletionRoutine")) return;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  platform::wdm::preemption::Point();
  IrpState* state = Find(irp);
  if (state == nullptr) {
    Report("IofCallDriver with a request that does not exist");
    return STATUS_INVALID_PARAMETER;
  }
  if (state->holder == Holder::kFinished) {
    Report("IofCallDriver with a request that has already completed");
    return STATUS_INVALID_PARAMETER;
  }
  if (irp->CurrentLocation <= 1) {
    Report("IofCallDriver: the request has no stack location left for the device");
    return STATUS_INVALID_PARAMETER;
  }
  if (state->holder == Holder::kOriginator) state->originLocation = irp->CurrentLocation;
  ++state->passes;
  const IO_STACK_LOCATION& next = irp->Tail.Overlay.CurrentStackLocation[-1];
  trace::Record(trace::Event::kRequestCall, next.MajorFunction << 8 | next.MinorFunction);
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = deviceObject;
  state->holder = Holder::kDriver;
  kernel::ContextScope context(deviceObject);
  PDRIVER_DISPATCH dispatch = stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                  ? deviceObject->DriverObject->MajorFunction[stack->MajorFunction]
                                  : nullptr;
  if (dispatch == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(deviceObject, irp);
}

namespace {

// The state of a request a driver completes, after the rules for completing it: it exists, a
// driver has it, and it carries a final status and no cancel routine. Null when it cannot be
// completed at all.
IrpState* StateToComplete(PIRP irp) {
  IrpState* state = Find(irp);
  if (state == nullptr) {
    Report("IofCompleteRequest of a request that no longer exists (completed twice?)");
    return nullptr;
  }
  if (state->holder != Holder::kDriver) {
    Report("IofCompleteRequest of a request that is not with a driver (completed twice?)");
    return nullptr;
  }
  if (irp->IoStatus.Status == STATUS_PENDING) Report("IofCompleteRequest with STATUS_PENDING");
  if (irp->CancelRoutine != nullptr) Report("IofCompleteRequest with a cancel routine still set");
  return state;
}

// What the stack location that completion leaves asked for.
struct LeftLocation {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  bool invoke;  // the routine is to run for this status and cancel state
};

// Takes the current location's completion routine, clears the location and moves the request up
// to the location above it.
LeftLocation LeaveLocation(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
  LeftLocation left{stack->CompletionRoutine, stack->Context, false};
  left.invoke =
      left.routine != nullptr && ShouldInvoke(stack->Control, irp->IoStatus.Status, irp->Cancel);
  std::memset(static_cast<void*>(stack), 0, sizeof(IO_STACK_LOCATION));
  IoSkipCurrentIrpStackLocation(irp);
  return left;
}

bool AtTop(PIRP irp) {
  return irp->CurrentLocation > irp->StackCount;
}

// A location without a routine to run passes a pending mark on to the location above it.
void PassPendingUp(PIRP irp) {
  if (irp->PendingReturned && !AtTop(irp)) IoMarkIrpPending(irp);
}

// Runs the routine in the context of the device above the location left, or of the request's
// maker when the routine is the originator's.
NTSTATUS InvokeRoutine(PIRP irp, const IrpState& state, const LeftLocation& left) {
  PDEVICE_OBJECT device = AtTop(irp) ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  kernel::ContextScope scope(device != nullptr ? device : const_cast<PDEVICE_OBJECT>(state.device));
  return left.routine(device, irp, left.context);
}

// Runs the routine of the location left and settles who has the request afterwards. Returns the
// request's state when completion goes on upwards; null when it ends here: the routine freed
// the request, or kept it (STATUS_MORE_PROCESSING_REQUIRED) for its driver or its originator.
IrpState* RunCompletionRoutine(PIRP irp, IrpState* state, const LeftLocation& left) {
  bool backWithOriginator = irp->CurrentLocation >= state->originLocation;
  if (backWithOriginator) state->holder = Holder::kOriginator;
  std::uint64_t passes = state->passes;
  std::uint64_t serial = state->serial;
  NTSTATUS result = InvokeRoutine(irp, *state, left);
  state = Find(irp);
  if (state == nullptr || state->serial != serial) {
    if (result != STATUS_MORE_PROCESSING_REQUIRED) {
      Report(
          "a completion routine freed its request but did not return "
          "STATUS_MORE_PROCESSING_REQUIRED");
    }
    return nullptr;
  }
  if (result != STATUS_MORE_PROCESSING_REQUIRED) return state;
  // Kept. A routine that passed the request down again has left it with that lower driver.
  if (state->passes == passes) {
    state->holder = backWithOriginator ? Holder::kOriginator : Holder::kDriver;
  }
  return nullptr;
}

}  // namespace

void IofCompleteRequest(PIRP irp, CCHAR) {
  IrpState* state = StateToComplete(irp);
  if (state == nullptr) return;
  trace::Record(trace::Event::kRequestDone, static_cast<ULONG>(irp->IoStatus.Status));
  // Completion routines may run at DISPATCH_LEVEL on the platform; they run there always, so a
  // routine that would block is caught every time.
  kernel::IrqlScope irql(DISPATCH_LEVEL);
  while (!AtTop(irp)) {
    LeftLocation left = LeaveLocation(irp);
    if (!left.invoke) {
      PassPendingUp(irp);
      continue;
    }
    state = RunCompletionRoutine(irp, state, left);
    if (state == nullptr) return;
  }
  FinishAtTop(irp, *state);
}

namespace {
KSPIN_LOCK gCancelSpinLock = 0;
}

void IoAcquireCancelSpinLock(PKIRQL irql) {
  KeAcquireSpinLock(&gCancelSpinLock, irql);
}

void IoReleaseCancelSpinLock(KIRQL irql) {
  KeReleaseSpinLock(&gCancelSpinLock, irql);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine) {
  return reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                 reinterpret_cast<PVOID>(cancelRoutine)));
}

BOOLEAN IoCancelIrp(PIRP irp) {
  if (Find(irp) == nullptr) {
    Report("IoCancelIrp of a request that does not exist");
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                              ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                              : nullptr;
  kernel::ContextScope scope(device);
  routine(device, irp);  // releases the cancel spin lock
  if (gCancelSpinLock != 0) {
    Report("a cancel routine returned without releasing the cancel spin lock");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

namespace platform::wdm::kernel {

PIRP AllocateManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onComplete) {
  PIRP irp = Make(stackSize, Origin::kManager);
  Find(irp)->onComplete = std::move(onComplete);
  return irp;
}

void AbandonManagerIrp(PIRP irp) {
  if (IrpState* state = Find(irp)) {
    state->abandoned = true;
    state->onComplete = nullptr;
  }
}

void FreeManagerIrp(PIRP irp) {
  IrpState* state = Find(irp);
  if (state == nullptr || state->origin != Origin::kManager) return;
  Destroy(irp);
}

bool IrpFinished(PIRP irp) {
  IrpState* state = Find(irp);
  return state != nullptr && state->holder == Holder::kFinished;
}

std::size_t RequestsOf(const DRIVER_OBJECT* driver, const DEVICE_OBJECT* device,
                       std::string* list) {
  Requests& requests = TheRequests();
  std::lock_guard lock(requests.mutex);
  std::size_t count = 0;
  for (const IrpBlock* block = requests.live; block != nullptr; block = block->next) {
    const IrpState& state = block->state;
    if (state.origin == Origin::kManager) continue;
    if (device != nullptr && state.device != device) continue;
    if (driver != nullptr && state.driver != driver) continue;
    ++count;
    if (list != nullptr) {
      *list += state.origin == Origin::kBuilt ? "\n  a device-control request"
                                              : "\n  a request from IoAllocateIrp";
      *list += state.holder == Holder::kDriver ? " still with a driver" : " held by its maker";
    }
  }
  return count;
}

std::size_t RequestsWithDrivers() {
  Requests& requests = TheRequests();
  std::lock_guard lock(requests.mutex);
  std::size_t count = 0;
  for (const IrpBlock* block = requests.live; block != nullptr; block = block->next) {
    count += block->state.holder == Holder::kDriver;
  }
  return count;
}

}  // namespace platform::wdm::kernel
