// The serial-port side's entry points: the two private control messages (attach and poll), the
// callback it is given, the detach on the stop path, and the driver's calls to the port side.
#include <cstring>

#include "driver/core/devext.h"
#include "driver/wire.h"
#include "platform/vxd/flat.h"

namespace {

constexpr LONGLONG kAttachTick = -(20 * 10000);  // first tick 20 ms after an attach

// The modem the record's unit name names (a prefix of its serial number); null when none or
// when the name does not lie in mapped memory. Names are bounded by the slot's length.
DEVICE_OBJECT* FindUnit(const PortRecord& record) {
  std::size_t room = platform::vxd::FlatRoom(record.unitName);
  auto* text = static_cast<const char*>(platform::vxd::FromFlat(record.unitName, room));
  if (text == nullptr || room == 0) return nullptr;
  char name[sizeof(WorkerContext::name)] = {};
  std::size_t length = 0;
  while (length < room && length + 1 < sizeof(name) && text[length] != '\0') {
    name[length] = text[length];
    ++length;
  }
  MDM_ASSERT(length < sizeof(name) && name[length] == '\0');  // the copy keeps its terminator
  return findTheDeviceObject(name);
}

void GiveEntry(PortRecord& record, DEVICE_OBJECT* deviceObject) {
  record.deviceHandle = platform::vxd::ToFlat(deviceObject);
  record.callbackEntry = platform::vxd::EntryToFlat(&wdm_callback);
}

void Detach(MDMContext& context) {
  Store(&context.portAttached, 0);
  context.portContext = 0;
  Store(&context.portCallback, 0);
  Store(&context.dtr, 0);
  Store(&context.modemControlPending, 1);
}

// The driver calls the port side with its own functions only.
bool IsPortFunction(ULONG function) {
  return function == PORT_DETACH || function == PORT_PUT_DATA || function == PORT_GET_DATA ||
         function == PORT_PUT_MSR;
}

// Marks the port side attached and returns whether it already was. Only a port side that
// attaches after none starts with no XOFF in force; one that attaches again keeps the XOFF of
// either side, so that it does not send into a modem buffer that the modem has shut.
ULONG AttachPortSide(MDMContext& context) {
  auto before = static_cast<ULONG>(InterlockedExchange(Interlocked(&context.portAttached), 1));
  if (before == 0) NoXoffInForce(context);
  return before;
}

void ArmAttachTick(MDMContext& context) {
  LARGE_INTEGER due;
  due.QuadPart = kAttachTick;
  KeSetTimer(&context.pollTimer, due, &context.pollDpc);
}

}  // namespace

BOOLEAN PortCall(MDMContext& context, ULONG function, ULONG parameter1, PortRecord* out) {
  MDM_ASSERT(IsPortFunction(function));
  // The entry is read once: a detach racing with this call never leads through an empty entry.
  ULONG entry = context.portCallback;
  if (context.portAttached == 0 || entry == 0) return FALSE;
  PortCallback callback = platform::vxd::EntryFromFlat<PortCallbackType>(entry);
  if (callback == nullptr) return FALSE;
  // The record in the device extension has a flat address for the device's life; a call made
  // while the port side is still inside the previous one takes a record on the stack, mapped for
  // the call.
  bool nested = context.portRecordBusy != 0;
  PortRecord stackRecord{};
  PortRecord& record = nested ? stackRecord : context.portRecord;
  record = PortRecord{};
  record.function = function;
  record.parameter1 = parameter1;
  if (nested) {
    platform::vxd::FlatScope flat(record);
    callback(context.portContext, flat.flat());
  } else {
    if (context.portRecordFlat == 0) {
      context.portRecordFlat = platform::vxd::ToFlat(&context.portRecord);
    }
    context.portRecordBusy = 1;
    callback(context.portContext, context.portRecordFlat);
    context.portRecordBusy = 0;
  }
  if (out != nullptr) *out = record;
  return TRUE;
}

ULONG wdm_disp_fn(ULONG address) {
  auto* record = platform::vxd::FromFlat<PortRecord>(address);
  if (record == nullptr) return 0;  // no record to answer in: the message fails
  DEVICE_OBJECT* deviceObject = FindUnit(*record);
  if (deviceObject == nullptr) {
    record->result |= kPortUnitNotFound;
    return 1;
  }
  MDMContext& context = Extension(deviceObject)->modemContext;
  record->result = 0;
  switch (record->function) {
    case WDM_ATTACH:
      context.portContext = record->parameter1;
      Store(&context.portCallback, record->parameter2);
      GiveEntry(*record, deviceObject);
      AttachPortSide(context);
      if (context.portAttached != 0) {
        Store(&context.active, 1);
        ArmAttachTick(context);
      }
      break;
    case WDM_DETACH:
      Detach(context);
      return 0;
    default:
      record->result = kPortUnknownFunction;
      break;
  }
  record->function += kPortHandled;
  return record->result;
}

ULONG PollFnForVxD(ULONG address) {
  auto* record = platform::vxd::FromFlat<PortRecord>(address);
  if (record == nullptr) return 0;
  DEVICE_OBJECT* deviceObject = FindUnit(*record);
  if (deviceObject == nullptr) {
    record->result |= kPortUnitNotFound;
    record->deviceHandle = 0;
    record->callbackEntry = 0;
    return 0;
  }
  MDMContext& context = Extension(deviceObject)->modemContext;
  record->function += kPortHandled;
  record->result = 0;
  GiveEntry(*record, deviceObject);
  context.portContext = record->parameter1;
  Store(&context.portCallback, record->parameter2);
  return AttachPortSide(context);
}

ULONG wdm_callback(ULONG deviceHandle, ULONG address) {
  auto* deviceObject = platform::vxd::FromFlat<DEVICE_OBJECT>(deviceHandle);
  auto* record = platform::vxd::FromFlat<PortRecord>(address);
  if (record == nullptr) return kPortUnknownFunction;
  if (deviceObject == nullptr || deviceObject->DeviceExtension == nullptr) {
    record->result = kPortUnknownFunction;
    record->function += kPortHandled;
    return record->result;
  }
  MDMContext& context = Extension(deviceObject)->modemContext;
  record->result = 0;
  switch (record->function) {
    case WDM_DETACH:
      Detach(context);
      return 0;
    case WDM_SET_MCR:
      Store(&context.dtr, (record->parameter1 & kMcrDtr) != 0 ? 1 : 0);
      Store(&context.rts, (record->parameter1 & kMcrRts) != 0 ? 1 : 0);
      Store(&context.modemControlPending, 1);
      break;
    case WDM_SET_LINE: {
      UCHAR format[sizeof(record->parameter2)];
      std::memcpy(format, &record->parameter2, sizeof(format));
      Store(&context.lineRate, record->parameter1);
      Store(&context.lineFormat0, format[kLineFormat0Byte]);
      Store(&context.lineFormat1, format[kLineFormat1Byte]);
      Store(&context.lineFormat2, format[kLineFormat2Byte]);
      Store(&context.lineSettingsPending, 1);
      break;
    }
    case WDM_NOP:
      break;
    case WDM_SET_XONXOFF:
      Store(&context.outX, (record->parameter1 >> kXonXoffOutXShift) & 1);
      break;
    default:
      record->result = kPortUnknownFunction;
      break;
  }
  record->function += kPortHandled;
  return record->result;
}

// Without a name (the stop path): the port side is detached and, if it gave a callback, told so.
ULONG WDMInitForPort(DEVICE_OBJECT* deviceObject, const char* name) {
  if (name != nullptr) return 1;
  MDMContext& context = Extension(deviceObject)->modemContext;
  auto callback = static_cast<ULONG>(InterlockedExchange(Interlocked(&context.portCallback), 0));
  Store(&context.portAttached, 0);
  if (callback != 0) {
    PortRecord record{};
    record.function = PORT_DETACH;
    platform::vxd::FlatScope flat(record);
    if (PortCallback entry = platform::vxd::EntryFromFlat<PortCallbackType>(callback)) {
      entry(context.portContext, flat.flat());
    }
  }
  context.portContext = 0;
  // Detached: no later call of the driver's reaches the port side through the old entry.
  MDM_ASSERT(context.portAttached == 0);
  return 1;
}
