// Writing the modem's COM port binding: the class driver key's "AttachedTo" and the serial
// device map.
#include <cstdio>
#include <cstring>

#include "driver/install/install.h"

namespace {

constexpr DWORD kDriverBytes = 32;
constexpr std::size_t kDriverChars = 31;

void SetString(VMMHKEY key, const char* name, const char* text) {
  gwRegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                  static_cast<DWORD>(std::strlen(text)));
}

// The child's "Driver" value as a NUL-terminated key name of at most 31 characters (the value
// may be stored with or without its NUL); false when there is none.
bool DriverKeyName(VMMHKEY childKey, char (&name)[kDriverBytes + 1]) {
  DWORD size = kDriverBytes;
  std::memset(name, 0, sizeof(name));
  if (gwRegQueryValueEx(childKey, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                        &size) != ERROR_SUCCESS) {
    return false;
  }
  std::size_t length = std::strlen(name);
  return length > 0 && length <= kDriverChars;
}

void SetClassAttachedTo(const char* usbDeviceId, const char* comName) {
  char childKeyName[kDeviceIdBytes + 16];
  std::snprintf(childKeyName, sizeof(childKeyName), "Enum\\%s%s", usbDeviceId, "MDM");
  VMMHKEY childKey = 0;
  if (gwRegOpenKey(HKEY_LOCAL_MACHINE, childKeyName, &childKey) != ERROR_SUCCESS) return;
  char driver[kDriverBytes + 1];
  if (DriverKeyName(childKey, driver)) {
    char classKeyName[96];
    std::snprintf(classKeyName, sizeof(classKeyName),
                  "System\\CurrentControlSet\\Services\\Class\\%s", driver);
    VMMHKEY classKey = 0;
    if (gwRegOpenKey(HKEY_LOCAL_MACHINE, classKeyName, &classKey) == ERROR_SUCCESS) {
      SetString(classKey, "AttachedTo", comName);
      gwRegCloseKey(classKey);
    }
  }
  gwRegCloseKey(childKey);
}

}  // namespace

void AttachModemToPort(const char* usbDeviceId, const char* comName) {
  SetClassAttachedTo(usbDeviceId, comName);
  VMMHKEY map = 0;
  if (gwRegOpenKey(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", &map) != ERROR_SUCCESS) {
    return;
  }
  SetString(map, comName, comName);
  gwRegCloseKey(map);
}
