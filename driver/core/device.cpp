// The device object with its extension, the request count and whether work is accepted.
#include "driver/core/devext.h"

NTSTATUS BulkUsb_CreateDeviceObject(DRIVER_OBJECT* driverObject, DEVICE_OBJECT*,
                                    DEVICE_OBJECT** deviceObject) {
  NTSTATUS status = IoCreateDevice(driverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, deviceObject);
  if (!NT_SUCCESS(status)) return status;
  DEVICE_EXTENSION* extension = Extension(*deviceObject);
  extension->pipeMaxTransfer = kPipeMaxTransfer;
  KeInitializeEvent(&extension->removeEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->selfPowerEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->idleEvent, NotificationEvent, FALSE);
  return status;
}

LONG BulkUsb_IncrementIoCount(DEVICE_OBJECT* deviceObject) {
  return InterlockedIncrement(&Extension(deviceObject)->ioCount);
}

// Both tests look at the value the decrement itself returned, so two decrements racing each
// other can never both miss the 1 or the 0.
LONG BulkUsb_DecrementIoCount(DEVICE_OBJECT* deviceObject) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  LONG count = InterlockedDecrement(&extension->ioCount);
  if (count == 1) KeSetEvent(&extension->idleEvent, 1, FALSE);
  if (count == 0) KeSetEvent(&extension->removeEvent, 1, FALSE);
  return count;
}

BOOLEAN BulkUsb_CanAcceptIoRequests(DEVICE_OBJECT* deviceObject) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  return !extension->removed && extension->started && !extension->removePending &&
         !extension->stopPending;
}
