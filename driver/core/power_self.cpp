// Device power changes the driver asks for itself, and the capability query at AddDevice.
#include "driver/core/devext.h"

NTSTATUS BulkUsb_SelfSuspendOrActivate(DEVICE_OBJECT* deviceObject, BOOLEAN suspend) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  if (!BulkUsb_CanAcceptIoRequests(deviceObject)) return STATUS_DELETE_PENDING;
  if (extension->heldSystemPowerIrp != nullptr || extension->selfPowerPending) {
    return STATUS_SUCCESS;
  }
  auto down = static_cast<ULONG>(extension->autoPowerDownState);
  if (down < PowerDeviceD1 || down > PowerDeviceD3) return STATUS_SUCCESS;
  return BulkUsb_SelfRequestPowerIrp(deviceObject,
                                     suspend ? extension->autoPowerDownState : PowerDeviceD0);
}

// A request the power manager refuses to make releases what was taken for it at once: the
// pending flag and the count would otherwise stay raised with no completion to lower them.
NTSTATUS BulkUsb_SelfRequestPowerIrp(DEVICE_OBJECT* deviceObject, DEVICE_POWER_STATE state) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  if (state == extension->devicePowerState) return STATUS_SUCCESS;
  BulkUsb_IncrementIoCount(deviceObject);
  extension->selfPowerPending = TRUE;
  POWER_STATE powerState;
  powerState.DeviceState = state;
  NTSTATUS status = PoRequestPowerIrp(extension->physicalDevice, IRP_MN_SET_POWER, powerState,
                                      BulkUsb_PoSelfRequestCompletion, deviceObject, nullptr);
  if (status != STATUS_PENDING) {
    extension->selfPowerPending = FALSE;
    BulkUsb_DecrementIoCount(deviceObject);
    return status;
  }
  if (static_cast<ULONG>(state) < static_cast<ULONG>(extension->autoPowerDownState)) {
    KeWaitForSingleObject(&extension->selfPowerEvent, Suspended, KernelMode, FALSE, nullptr);
  }
  extension->selfPowerPending = FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS BulkUsb_PoSelfRequestCompletion(DEVICE_OBJECT*, UCHAR, POWER_STATE powerState,
                                         PVOID context, IO_STATUS_BLOCK* ioStatus) {
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  if (static_cast<ULONG>(powerState.DeviceState) <
      static_cast<ULONG>(extension->autoPowerDownState)) {
    KeSetEvent(&extension->selfPowerEvent, 1, FALSE);
  }
  BulkUsb_DecrementIoCount(deviceObject);
  return ioStatus->Status;
}

NTSTATUS BulkUsb_QueryCapabilities(DEVICE_OBJECT* lowerDeviceObject,
                                   DEVICE_CAPABILITIES* capabilities) {
  IRP* irp = IoAllocateIrp(lowerDeviceObject->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // as the platform requires of a new PnP request
  IoSetCompletionRoutine(irp, BulkUsb_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(lowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
  }
  IoFreeIrp(irp);
  return status;
}
