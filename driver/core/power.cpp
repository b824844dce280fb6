// Power requests and the capability query. Power management proper comes with its own work;
// until then every power request is passed down as the platform requires.
#include "driver/core/devext.h"

NTSTATUS BulkUsb_ProcessPowerIrp(DEVICE_OBJECT* deviceObject, IRP* irp) {
  BulkUsb_IncrementIoCount(deviceObject);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(Extension(deviceObject)->lowerDevice, irp);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
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
