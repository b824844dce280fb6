// mdmcore's wire formats: records exchanged with the serial-port driver. Addresses in them are
// 32-bit flat addresses of the virtual-device layer.
#pragma once

#include "platform/base/types.h"

// The 28-byte record exchanged with the serial-port driver in both directions.
struct PortRecord {
  ULONG function;
  ULONG result;
  ULONG unitName;  // flat address of a zero-terminated name
  ULONG parameter1;
  ULONG parameter2;
  ULONG deviceHandle;   // out: the handle for wdm_callback
  ULONG callbackEntry;  // out: flat code address of wdm_callback
};
static_assert(sizeof(PortRecord) == 28);

// Functions from the port side to the driver.
constexpr ULONG WDM_ATTACH = 1;
constexpr ULONG WDM_DETACH = 2;
constexpr ULONG WDM_SET_MCR = 3;
constexpr ULONG WDM_SET_LINE = 4;
constexpr ULONG WDM_NOP = 5;
constexpr ULONG WDM_SET_XONXOFF = 6;
// Functions from the driver to the port side.
constexpr ULONG PORT_DETACH = 1;
constexpr ULONG PORT_PUT_DATA = 2;
constexpr ULONG PORT_GET_DATA = 3;
constexpr ULONG PORT_PUT_MSR = 4;

constexpr ULONG kPortHandled = 0x00010000;
constexpr ULONG kPortUnknownFunction = 0x80000000;

// The port side's callback: its context value and the flat address of a record.
using PortCallbackType = void(ULONG context, ULONG record);
using PortCallback = PortCallbackType*;
