// Power requests: system states mapped to device states with a device request of our own,
// device set-power keeping devicePowerState, power queries refused while the port is open, and
// the wait-wake request.
#include "driver/core/devext.h"

namespace {

NTSTATUS PassDown(DEVICE_OBJECT* deviceObject, IRP* irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(Extension(deviceObject)->lowerDevice, irp);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

NTSTATUS CompleteNow(DEVICE_OBJECT* deviceObject, IRP* irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

NTSTATUS WaitWake(DEVICE_OBJECT* deviceObject, IRP* irp) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  DEVICE_POWER_STATE wake = extension->capabilities.DeviceWake;
  extension->autoPowerDownState = wake;
  if (extension->devicePowerState == PowerDeviceD0 ||
      static_cast<LONG>(wake) > static_cast<LONG>(extension->devicePowerState)) {
    return CompleteNow(deviceObject, irp, STATUS_INVALID_DEVICE_STATE);
  }
  extension->wakeArmed = TRUE;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, BulkUsb_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(extension->lowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
  }
  BulkUsb_SelfSuspendOrActivate(deviceObject, FALSE);
  extension->wakeArmed = FALSE;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

DEVICE_POWER_STATE TargetFor(const DEVICE_EXTENSION* extension, SYSTEM_POWER_STATE system) {
  if (system == PowerSystemWorking) return PowerDeviceD0;
  if (extension->wakeArmed && system > PowerSystemUnspecified && system < PowerSystemMaximum) {
    return extension->capabilities.DeviceState[system];
  }
  return PowerDeviceD3;
}

// The system request is held while the device request for its device state runs; it goes down
// from BulkUsb_PoRequestCompletion. When the power manager refuses to make the device request,
// the system request goes down at once instead, so that it is neither held forever nor leaves
// ioCount raised.
NTSTATUS SystemSetPower(DEVICE_OBJECT* deviceObject, IRP* irp) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  DEVICE_POWER_STATE target = TargetFor(extension, system);
  if (target == extension->devicePowerState) return PassDown(deviceObject, irp);
  IoMarkIrpPending(irp);
  extension->heldSystemPowerIrp = irp;
  POWER_STATE state;
  state.DeviceState = target;
  NTSTATUS status = PoRequestPowerIrp(extension->physicalDevice, IRP_MN_SET_POWER, state,
                                      BulkUsb_PoRequestCompletion, deviceObject, nullptr);
  if (status == STATUS_PENDING) return status;
  extension->heldSystemPowerIrp = nullptr;
  PassDown(deviceObject, irp);
  return STATUS_PENDING;  // the request was marked pending
}

NTSTATUS DeviceSetPower(DEVICE_OBJECT* deviceObject, IRP* irp) {
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  BOOLEAN need = BulkUsb_SetDevicePowerState(deviceObject, state);
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (need) {
    IoSetCompletionRoutine(irp, BulkUsb_PowerIrp_Complete, deviceObject, TRUE, TRUE, TRUE);
  }
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(Extension(deviceObject)->lowerDevice, irp);
  if (!need) BulkUsb_DecrementIoCount(deviceObject);
  return status;
}

}  // namespace

NTSTATUS BulkUsb_ProcessPowerIrp(DEVICE_OBJECT* deviceObject, IRP* irp) {
  BulkUsb_IncrementIoCount(deviceObject);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWake(deviceObject, irp);
    case IRP_MN_SET_POWER:
      return stack->Parameters.Power.Type == SystemPowerState ? SystemSetPower(deviceObject, irp)
                                                              : DeviceSetPower(deviceObject, irp);
    case IRP_MN_QUERY_POWER:
      if (IsModemBusy(deviceObject, nullptr)) {
        return CompleteNow(deviceObject, irp, STATUS_UNSUCCESSFUL);
      }
      return PassDown(deviceObject, irp);
    default:
      return PassDown(deviceObject, irp);
  }
}

NTSTATUS BulkUsb_PoRequestCompletion(DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID context,
                                     IO_STATUS_BLOCK* ioStatus) {
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  IRP* held = extension->heldSystemPowerIrp;
  if (held != nullptr) {
    IoCopyCurrentIrpStackLocationToNext(held);
    PoStartNextPowerIrp(held);
    PoCallDriver(extension->lowerDevice, held);
    BulkUsb_DecrementIoCount(deviceObject);
    extension->heldSystemPowerIrp = nullptr;
  }
  return ioStatus->Status;
}

NTSTATUS BulkUsb_PowerIrp_Complete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  Extension(deviceObject)->devicePowerState = PowerDeviceD0;
  irp->IoStatus.Status = STATUS_SUCCESS;
  BulkUsb_DecrementIoCount(deviceObject);
  return STATUS_SUCCESS;
}

BOOLEAN BulkUsb_SetDevicePowerState(DEVICE_OBJECT* deviceObject, DEVICE_POWER_STATE state) {
  switch (state) {
    case PowerDeviceD0:
      return TRUE;  // the completion routine raises devicePowerState
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
      Extension(deviceObject)->devicePowerState = state;
      return FALSE;
    default:
      return FALSE;
  }
}
