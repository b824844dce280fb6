// The kernel's driver interface, as far as the driver uses it: driver and device objects, request
// packets with their stack locations, completion and cancellation, events, timers and deferred
// procedure calls, fast mutexes and spin locks, interlocked operations, the tagged non-paged
// pool, power requests and DbgPrint. Names, layouts and rules follow the platform; everything
// runs on the kernel's one processor (processor.h) in the clock's time. Breaking one of the
// platform's rules is reported by the verifier (verifier.h) instead of being left to chance.
#pragma once

#include "platform/base/types.h"
#include "platform/wdm/ntstatus.h"

// ---- Interrupt request levels --------------------------------------------------------------

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);

// The number of processors the kernel runs on: always one here (processor.h).
inline constexpr CCHAR KeNumberProcessors = 1;

// ---- Basic records ---------------------------------------------------------------------------

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWCHAR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

enum KPROCESSOR_MODE : CCHAR { KernelMode = 0, UserMode = 1 };
enum KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 };

// ---- Power -----------------------------------------------------------------------------------

enum SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
};

enum DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5
};

union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};

enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };

enum POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject
};

// What the bus driver reports about a device (IRP_MN_QUERY_CAPABILITIES).
struct DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG Reserved : 15;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
};
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);

// ---- Dispatcher objects ----------------------------------------------------------------------

struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;  // under the clock's lock
};

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

struct KDPC;
using PKDEFERRED_ROUTINE = void (*)(KDPC* dpc, PVOID deferredContext, PVOID systemArgument1,
                                    PVOID systemArgument2);

struct KDPC {
  CSHORT Type;
  UCHAR Number;
  UCHAR Importance;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
};
using PKDPC = KDPC*;

struct KTIMER {
  DISPATCHER_HEADER Header;
  LARGE_INTEGER DueTime;  // absolute, in 100 ns units of the clock
  KDPC* Dpc;
  LONG Period;
};
using PKTIMER = KTIMER*;

struct FAST_MUTEX {
  LONG Count;
  PVOID Owner;  // the owning thread's clock record
  ULONG Contention;
  ULONG OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

// ---- Events, waits, timers, DPCs ------------------------------------------------------------

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, LONG increment, BOOLEAN wait);
LONG KeResetEvent(PKEVENT event);
void KeClearEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);

// Waits for a dispatcher object (an event). At PASSIVE_LEVEL on the kernel's processor the wait
// runs the processor's other work until the object is signalled, as the platform's scheduler
// would run other threads and DPCs meanwhile. A time-out is relative when negative (100 ns
// units); null waits without time-out. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// Waits out the interval (negative: relative, 100 ns units) at PASSIVE_LEVEL; on the kernel's
// processor the rest of the kernel runs meanwhile, as KeWaitForSingleObject lets it.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

void KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN KeInsertQueueDpc(PKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN KeRemoveQueueDpc(PKDPC dpc);

void KeInitializeTimer(PKTIMER timer);
// One-shot timer; a negative due time is relative (100 ns units). Re-arming an armed timer
// replaces its due time. Returns TRUE when the timer was armed before.
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
BOOLEAN KeReadStateTimer(PKTIMER timer);

// 100 ns units since the clock began.
void KeQuerySystemTime(PLARGE_INTEGER time);

void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex);
void ExReleaseFastMutex(PFAST_MUTEX mutex);

void KeInitializeSpinLock(PKSPIN_LOCK lock);
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);

// ---- Interlocked operations ------------------------------------------------------------------

LONG InterlockedIncrement(LONG volatile* addend);
LONG InterlockedDecrement(LONG volatile* addend);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value);
LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);

// ---- Pool ------------------------------------------------------------------------------------

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// Blocks are not zeroed (fresh blocks hold 0xCD bytes) and are reachable by flat address.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size);
void ExFreePool(PVOID block);
void ExFreePoolWithTag(PVOID block, ULONG tag);

// ---- Debug output ----------------------------------------------------------------------------

ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Driver and device objects ---------------------------------------------------------------

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_POWER_PAGABLE = 0x00002000;

constexpr ULONG FILE_DEVICE_UNKNOWN = 0x00000022;
constexpr ULONG FILE_DEVICE_BUS_EXTENDER = 0x0000002A;

struct IRP;
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* deviceObject, IRP* irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(DRIVER_OBJECT* driverObject,
                                        DEVICE_OBJECT* physicalDeviceObject);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* driverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(DRIVER_OBJECT* driverObject, PUNICODE_STRING registryPath);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* deviceObject, IRP* irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);

struct DRIVER_EXTENSION {
  DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
};

struct DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  DEVICE_OBJECT* DeviceObject;  // the driver's devices, linked through NextDevice
  ULONG Flags;
  DRIVER_EXTENSION* DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
using PDRIVER_OBJECT = DRIVER_OBJECT*;

struct DEVOBJ_EXTENSION {
  DEVICE_OBJECT* DeviceObject;
  DEVICE_OBJECT* AttachedTo;  // the device this one is attached on top of
};

struct DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  DRIVER_OBJECT* DriverObject;
  DEVICE_OBJECT* NextDevice;
  DEVICE_OBJECT* AttachedDevice;  // the device attached on top of this one
  IRP* CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  DEVOBJ_EXTENSION* DeviceObjectExtension;
};
using PDEVICE_OBJECT = DEVICE_OBJECT*;

// Creates a device object with a zero-filled extension of extensionSize bytes (reachable by flat
// address). Names are not supported: the driver's devices are unnamed.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                        PUNICODE_STRING deviceName, ULONG deviceType, ULONG characteristics,
                        BOOLEAN exclusive, PDEVICE_OBJECT* deviceObject);
void IoDeleteDevice(PDEVICE_OBJECT deviceObject);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                           PDEVICE_OBJECT targetDevice);
void IoDetachDevice(PDEVICE_OBJECT targetDevice);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject);

// ---- Request packets -------------------------------------------------------------------------

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      SYSTEM_POWER_STATE PowerState;
    } WaitWake;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      POWER_ACTION ShutdownType;
    } Power;
    struct {
      PVOID AllocatedResources;
      PVOID AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PVOID FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

struct IRP {
  CSHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  union {
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CCHAR StackCount;
  CCHAR CurrentLocation;  // StackCount + 1 before the first call; 1 at the lowest driver
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  struct {
    struct {
      PVOID DriverContext[4];
      LIST_ENTRY ListEntry;
      IO_STACK_LOCATION* CurrentStackLocation;
    } Overlay;
  } Tail;
};
using PIRP = IRP*;

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
// A device-control request for deviceObject (internal when `internal`), completed to the caller
// through `event` and `ioStatusBlock`; the kernel frees it when it completes.
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
void IoCopyCurrentIrpStackLocationToNext(PIRP irp);
void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel);
inline void IoMarkIrpPending(PIRP irp) {
  IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return IofCallDriver(deviceObject, irp);
}
inline void IoCompleteRequest(PIRP irp, CCHAR priorityBoost) {
  IofCompleteRequest(irp, priorityBoost);
}
constexpr CCHAR IO_NO_INCREMENT = 0;

void IoAcquireCancelSpinLock(PKIRQL irql);
void IoReleaseCancelSpinLock(KIRQL irql);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine);
BOOLEAN IoCancelIrp(PIRP irp);

// ---- Power manager ---------------------------------------------------------------------------

using PREQUEST_POWER_COMPLETE = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                             POWER_STATE powerState, PVOID context,
                                             PIO_STATUS_BLOCK ioStatus);

// Makes a power request for the stack of physicalDevice; `completion` is called when it has
// completed. Returns STATUS_PENDING when the request was made.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
void PoStartNextPowerIrp(PIRP irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state);
