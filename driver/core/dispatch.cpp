// Open, close, device-control and system-control requests.
#include "driver/core/devext.h"

namespace {

NTSTATUS CompleteWith(IRP* irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS BulkUsb_Create(DEVICE_OBJECT* deviceObject, IRP* irp) {
  BulkUsb_IncrementIoCount(deviceObject);
  NTSTATUS status =
      BulkUsb_CanAcceptIoRequests(deviceObject) ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
  CompleteWith(irp, status);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

// After a close the serial-port side can no longer find the modem by its serial number, until
// the device is added again.
NTSTATUS BulkUsb_Close(DEVICE_OBJECT* deviceObject, IRP* irp) {
  BulkUsb_IncrementIoCount(deviceObject);
  BulkUsb_DecrementIoCount(deviceObject);
  CompleteWith(irp, STATUS_SUCCESS);
  if (WorkerContext* slot = findTheWorkerContext(deviceObject)) {
    slot->name[0] = '\0';
    slot->device = nullptr;
  }
  return STATUS_SUCCESS;
}

// The driver defines no device-control codes.
NTSTATUS BulkUsb_ProcessIOCTL(DEVICE_OBJECT*, IRP* irp) {
  return CompleteWith(irp, STATUS_INVALID_PARAMETER);
}

NTSTATUS BulkUsb_ProcessSysControlIrp(DEVICE_OBJECT* deviceObject, IRP* irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  BulkUsb_IncrementIoCount(deviceObject);
  IoCopyCurrentIrpStackLocationToNext(irp);
  NTSTATUS status = IofCallDriver(Extension(deviceObject)->lowerDevice, irp);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}
