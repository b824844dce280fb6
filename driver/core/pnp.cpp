// AddDevice and the Plug and Play requests.
#include "driver/core/devext.h"

namespace {

// Gives the request to the lower driver with this driver's stack location copied.
NTSTATUS PassDown(DEVICE_OBJECT* deviceObject, IRP* irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  NTSTATUS status = IofCallDriver(Extension(deviceObject)->lowerDevice, irp);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

// The same with the current stack location handed on; used while the device is not started.
NTSTATUS HandDown(DEVICE_OBJECT* deviceObject, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IofCallDriver(Extension(deviceObject)->lowerDevice, irp);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

NTSTATUS Refuse(DEVICE_OBJECT* deviceObject, IRP* irp) {
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  BulkUsb_DecrementIoCount(deviceObject);
  return STATUS_UNSUCCESSFUL;
}

void WaitFor(KEVENT* event) {
  KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, nullptr);
}

NTSTATUS Start(DEVICE_OBJECT* deviceObject, IRP* irp) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, BulkUsb_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  if (IofCallDriver(extension->lowerDevice, irp) == STATUS_PENDING) WaitFor(&event);
  // The driver's own start runs whatever the lower drivers answered.
  NTSTATUS status = BulkUsb_StartDevice(deviceObject);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  BulkUsb_DecrementIoCount(deviceObject);
  if (NT_SUCCESS(status)) {
    extension->devicePowerState = PowerDeviceD0;
    MDMSwitchToD0(deviceObject);
  }
  return status;
}

NTSTATUS Remove(DEVICE_OBJECT* deviceObject, IRP* irp) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  MDMSwitchToD3(deviceObject);
  BulkUsb_DecrementIoCount(deviceObject);  // the device's own count, taken at AddDevice
  extension->removed = TRUE;
  extension->removePending = TRUE;
  BulkUsb_AbortPipes(deviceObject);
  IoCopyCurrentIrpStackLocationToNext(irp);
  NTSTATUS status = IofCallDriver(extension->lowerDevice, irp);
  BulkUsb_DecrementIoCount(deviceObject);
  WaitFor(&extension->removeEvent);
  BulkUsb_RemoveDevice(deviceObject);
  IoDetachDevice(extension->lowerDevice);
  if (WorkerContext* slot = findTheWorkerContext(deviceObject)) {
    slot->name[0] = '\0';
    slot->device = nullptr;
  }
  IoDeleteDevice(deviceObject);
  return status;
}

}  // namespace

NTSTATUS BulkUsb_PnPAddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDevice) {
  DEVICE_OBJECT* deviceObject = nullptr;
  NTSTATUS status = BulkUsb_CreateDeviceObject(driverObject, physicalDevice, &deviceObject);
  if (!NT_SUCCESS(status)) return status;
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  extension->physicalDevice = physicalDevice;
  extension->lowerDevice = IoAttachDeviceToDeviceStack(deviceObject, physicalDevice);
  BulkUsb_QueryCapabilities(physicalDevice, &extension->capabilities);
  // The last of S1, S2, S3 whose device state is below D3 (0 counts too) is where the device
  // goes when it powers itself down.
  extension->autoPowerDownState = PowerDeviceUnspecified;
  for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; ++state) {
    DEVICE_POWER_STATE device = extension->capabilities.DeviceState[state];
    if (device < PowerDeviceD3) extension->autoPowerDownState = device;
  }
  BulkUsb_IncrementIoCount(deviceObject);
  if (WorkerContext* slot = findAFreeWorkerContext()) slot->device = deviceObject;
  InitMDMContext(deviceObject);
  return status;
}

NTSTATUS BulkUsb_ProcessPnPIrp(DEVICE_OBJECT* deviceObject, IRP* irp) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  BulkUsb_IncrementIoCount(deviceObject);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Start(deviceObject, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (!extension->started) return HandDown(deviceObject, irp);
      if (IsModemBusy(deviceObject, nullptr)) return Refuse(deviceObject, irp);
      extension->removePending = TRUE;
      WaitFor(&extension->idleEvent);
      return PassDown(deviceObject, irp);
    case IRP_MN_REMOVE_DEVICE:
      return Remove(deviceObject, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (!extension->started) return HandDown(deviceObject, irp);
      extension->removePending = FALSE;
      return PassDown(deviceObject, irp);
    case IRP_MN_STOP_DEVICE:
      MDMSwitchToD3(deviceObject);
      BulkUsb_StopDevice(deviceObject);
      return PassDown(deviceObject, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (!extension->started) return HandDown(deviceObject, irp);
      if (IsModemBusy(deviceObject, nullptr)) return Refuse(deviceObject, irp);
      extension->stopPending = TRUE;
      return PassDown(deviceObject, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (!extension->started) return HandDown(deviceObject, irp);
      extension->stopPending = FALSE;
      return PassDown(deviceObject, irp);
    default:
      return PassDown(deviceObject, irp);
  }
}
