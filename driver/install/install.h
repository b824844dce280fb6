// Modem installation: the modem's child device node, its COM port binding in the registry and
// the start of the install program. Start-device calls AddModem and VxD_shell_execute (declared
// in devext.h); the rest is here for the configuration manager's callback and for tests.
#pragma once

#include "driver/core/asmlib.h"
#include "driver/core/devext.h"

constexpr ULONG kComTableEntries = 16;
constexpr LONG kLastComPort = 9;
constexpr LONG kDefaultFirstPort = 3;
constexpr ULONG kSerialValueBytes = 28;  // of serialNumber kept in "SerialNumber"
constexpr ULONG kDeviceIdBytes = 256;

// Entry n: some key under ENUM names COMn / the last such key with a "USBDeviceID" is ours /
// some other device's key holds COMn as its "PortName" (then n is not reused for this device).
extern ULONG gComPorts[kComTableEntries];
extern ULONG gUsbPorts[kComTableEntries];
extern ULONG gHeldPorts[kComTableEntries];

// The platform's shell-execute packet with its strings, reused for every program start.
constexpr DWORD kExecPacketSize = 288;
union ExecPacket {
  SHEXPACKET header;
  char bytes[kExecPacketSize];
};
static_assert(sizeof(ExecPacket) == kExecPacketSize);
extern ExecPacket exec_packet;

CONFIGRET OnEnumerate(CONFIGFUNC function, SUBCONFIGFUNC subFunction, DEVNODE enumeratorNode,
                      DEVNODE aboutNode, ULONG flags);
LONG GetValidCommPort(const char* usbDeviceId);
void EnumAllSubKeys(VMMHKEY key, const char* usbDeviceId);
void EnumAllValues(VMMHKEY key, const char* usbDeviceId);
// Updates gUsbPorts entry n from the key's "USBDeviceID"; TRUE when that is this device's ID.
BOOLEAN CheckUsbComBind(VMMHKEY key, LONG n, const char* usbDeviceId);
void AttachModemToPort(const char* usbDeviceId, const char* comName);
