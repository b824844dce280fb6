// Choosing the modem's COM port: a scan of every key under ENUM for the port numbers named in
// "PortName" and "AttachedTo" values, and for the ones already bound to this USB device.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "driver/install/install.h"

ULONG gComPorts[kComTableEntries];
ULONG gUsbPorts[kComTableEntries];
ULONG gHeldPorts[kComTableEntries];

namespace {

constexpr ULONG kKeyNameBytes = 256;
constexpr ULONG kValueNameBytes = 1024;
constexpr DWORD kPortDataBytes = 32;
constexpr DWORD kUsbIdBytes = 128;

// "FirstValidPort" when the device's key holds it as exactly 4 bytes; the default otherwise. A
// value below 0 counts as 0: only an earlier binding of this device can then be found.
LONG FirstValidPort(const char* usbDeviceId) {
  LONG start = kDefaultFirstPort;
  char keyName[kDeviceIdBytes + 8];
  std::snprintf(keyName, sizeof(keyName), "ENUM\\%s", usbDeviceId);
  VMMHKEY key = 0;
  if (gwRegOpenKey(HKEY_LOCAL_MACHINE, keyName, &key) != ERROR_SUCCESS) return start;
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  if (gwRegQueryValueEx(key, "FirstValidPort", nullptr, nullptr, data, &size) == ERROR_SUCCESS &&
      size == sizeof(data)) {
    std::memcpy(&start, data, sizeof(start));
  }
  gwRegCloseKey(key);
  return start < 0 ? 0 : start;
}

bool NamesAPort(const char* valueName) {
  return strcasecmp(valueName, "PortName") == 0 || strcasecmp(valueName, "AttachedTo") == 0;
}

// The port number 1 to 9 that the value's data names ("COM" and one digit; case does not
// matter), or 0.
LONG PortNumberIn(VMMHKEY key, const char* valueName) {
  char data[kPortDataBytes];
  DWORD size = sizeof(data);
  if (gwRegQueryValueEx(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      size < 4 || strncasecmp(data, "COM", 3) != 0) {
    return 0;
  }
  return data[3] >= '1' && data[3] <= '9' ? data[3] - '0' : 0;
}

}  // namespace

LONG GetValidCommPort(const char* usbDeviceId) {
  for (LONG n = 1; n <= kLastComPort; ++n) {
    gComPorts[n] = 0;
    gUsbPorts[n] = 0;
    gHeldPorts[n] = 0;
  }
  LONG start = FirstValidPort(usbDeviceId);
  VMMHKEY enumKey = 0;
  if (gwRegOpenKey(HKEY_LOCAL_MACHINE, "ENUM", &enumKey) == ERROR_SUCCESS) {
    EnumAllSubKeys(enumKey, usbDeviceId);
    gwRegCloseKey(enumKey);
  }
  // An earlier binding is reused unless another device's port now has that number: two
  // devices must never share one COM port.
  for (LONG n = start; n <= kLastComPort; ++n) {
    if (gUsbPorts[n] != 0 && gHeldPorts[n] == 0) return n;
  }
  // Entry 0 is never set, so a start of 0 without an earlier binding gives 0: none.
  for (LONG n = start; n <= kLastComPort; ++n) {
    if (gComPorts[n] == 0) return n;
  }
  return 0;
}

// The name buffer comes from the system heap rather than the stack: the recursion is as deep as
// the ENUM tree.
void EnumAllSubKeys(VMMHKEY key, const char* usbDeviceId) {
  auto* name = static_cast<char*>(gwHeapAllocate(kKeyNameBytes, 0));
  if (name == nullptr) return;
  EnumAllValues(key, usbDeviceId);
  for (DWORD index = 0; gwRegEnumKey(key, index, name, kKeyNameBytes) == ERROR_SUCCESS; ++index) {
    VMMHKEY subKey = 0;
    if (gwRegOpenKey(key, name, &subKey) != ERROR_SUCCESS) continue;
    EnumAllSubKeys(subKey, usbDeviceId);
    gwRegCloseKey(subKey);
  }
  gwHeapFree(name, 0);
}

void EnumAllValues(VMMHKEY key, const char* usbDeviceId) {
  auto* name = static_cast<char*>(gwHeapAllocate(kValueNameBytes, 0));
  if (name == nullptr) return;
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = kValueNameBytes;
    if (gwRegEnumValue(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (!NamesAPort(name)) continue;
    LONG n = PortNumberIn(key, name);
    if (n == 0) continue;
    gComPorts[n] = 1;
    // A "PortName" is a port device's own number; "AttachedTo" names a port some device uses.
    if (!CheckUsbComBind(key, n, usbDeviceId) && strcasecmp(name, "PortName") == 0) {
      gHeldPorts[n] = 1;
    }
  }
  gwHeapFree(name, 0);
}

// An absent "USBDeviceID" leaves the entry as it was; one too long for the buffer names some
// other device.
BOOLEAN CheckUsbComBind(VMMHKEY key, LONG n, const char* usbDeviceId) {
  char id[kUsbIdBytes] = {};
  DWORD size = sizeof(id);
  VMMREGRET result =
      gwRegQueryValueEx(key, "USBDeviceID", nullptr, nullptr, reinterpret_cast<BYTE*>(id), &size);
  if (result == ERROR_FILE_NOT_FOUND) return FALSE;
  if (result != ERROR_SUCCESS) {
    gUsbPorts[n] = 0;
    return FALSE;
  }
  if (size < sizeof(id)) id[size] = '\0';
  id[sizeof(id) - 1] = '\0';
  gUsbPorts[n] = std::strcmp(id, usbDeviceId) == 0 ? 1 : 0;
  return gUsbPorts[n] != 0 ? TRUE : FALSE;
}
