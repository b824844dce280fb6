// Synchronous URB submission to the lower driver.
#include "driver/core/devext.h"

NTSTATUS BulkUsb_IrpCompletionRoutine(DEVICE_OBJECT*, IRP*, PVOID context) {
  KeSetEvent(static_cast<KEVENT*>(context), 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The request's status is returned; the URB's own USB status is left to the caller. A request
// that cannot be built is reported as STATUS_INSUFFICIENT_RESOURCES, like every failed
// allocation of the driver.
NTSTATUS BulkUsb_CallUSBD(DEVICE_OBJECT* deviceObject, URB* urb) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->lowerDevice,
                                           nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IofCallDriver(extension->lowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}
