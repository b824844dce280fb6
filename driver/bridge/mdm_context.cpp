// The modem context: zeroed when the device is added, switched on at a successful start and off
// at stop and removal, with the 20 ms polling timer that restarts the status chain.
#include <cstring>

#include "driver/core/devext.h"

namespace {

constexpr LONGLONG kPollPeriod = -(20 * 10000);   // 20 ms, relative
constexpr LONGLONG kStartDelay = -(100 * 10000);  // 100 ms, relative

void Arm(MDMContext& context, LONGLONG due) {
  LARGE_INTEGER time;
  time.QuadPart = due;
  KeSetTimer(&context.pollTimer, time, &context.pollDpc);
}

}  // namespace

void InitMDMContext(DEVICE_OBJECT* deviceObject) {
  MDMContext& context = Extension(deviceObject)->modemContext;
  std::memset(&context, 0, sizeof(MDMContext));
  KeInitializeTimer(&context.pollTimer);
  KeInitializeDpc(&context.pollDpc, polling_timer_fn, deviceObject);
  context.pollPeriod = kPollPeriod;
  context.startDelay = kStartDelay;
  NoXoffInForce(context);
}

void NoXoffInForce(MDMContext& context) {
  Store(&context.modemXon, 1);
  Store(&context.hostXon, 1);
}

void MDMSwitchToD0(DEVICE_OBJECT* deviceObject) {
  MDMContext& context = Extension(deviceObject)->modemContext;
  Store(&context.active, 1);
  Arm(context, context.startDelay);
}

void MDMSwitchToD3(DEVICE_OBJECT* deviceObject) {
  MDMContext& context = Extension(deviceObject)->modemContext;
  WDMInitForPort(deviceObject, nullptr);
  Store(&context.active, 0);
  KeCancelTimer(&context.pollTimer);
  IsoUsb_StopReadStatus(deviceObject);
  IsoUsb_DataReadFreeResource(deviceObject);
  IsoUsb_DataWriteFreeResource(deviceObject);
  BulkUsb_FreeResources(deviceObject);
  // Switched off: the chain is stopped and nothing can restart it until the next switch-on.
  MDM_ASSERT(context.status.busy == 0 && context.active == 0);
}

void FinitMDMContext(DEVICE_OBJECT* deviceObject) {
  MDMSwitchToD3(deviceObject);
}

void polling_timer_fn(KDPC*, PVOID context, PVOID, PVOID) {
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  MDMContext& modem = Extension(deviceObject)->modemContext;
  if (modem.active == 0) return;
  // A control transfer left by a stop is no reason to wait: it may come back at any time.
  bool controlIdle = modem.control.busy == 0 || modem.control.busy == kControlLeftByStop;
  if (modem.status.busy == 0 && modem.dataOut.busy == 0 && modem.dataIn.busy == 0 && controlIdle) {
    IsoUsb_StartReadStatus(deviceObject);
  }
  Arm(modem, modem.pollPeriod);
}

BOOLEAN IsModemBusy(DEVICE_OBJECT* deviceObject, PVOID) {
  return Extension(deviceObject)->modemContext.portAttached != 0;
}
