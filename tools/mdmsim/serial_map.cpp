#include "tools/mdmsim/serial_map.h"

#include <strings.h>

#include "platform/win32/windows.h"

namespace mdmsim {
namespace {

// True when a value of the map names the port (case does not count in port names).
bool Listed(HKEY map, const std::string& port) {
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameChars = sizeof(name);
    BYTE data[256];
    DWORD dataBytes = sizeof(data) - 1;
    DWORD type = 0;
    if (RegEnumValueA(map, i, name, &nameChars, nullptr, &type, data, &dataBytes) !=
        ERROR_SUCCESS) {
      return false;
    }
    data[dataBytes] = 0;
    if (type == REG_SZ && ::strcasecmp(reinterpret_cast<const char*>(data), port.c_str()) == 0) {
      return true;
    }
  }
}

}  // namespace

bool ListPort(const std::string& name) {
  HKEY map;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &map, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool listed =
      RegSetValueExA(map, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                     static_cast<DWORD>(name.size() + 1)) == ERROR_SUCCESS;
  RegCloseKey(map);
  return listed;
}

ListedPorts::ListedPorts(const std::vector<std::string>& names) {
  HKEY map;
  bool open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, KEY_READ, &map) == ERROR_SUCCESS;
  for (const std::string& port : names) {
    if (open && Listed(map, port)) continue;
    if (ListPort(port)) added_.push_back(port);
  }
  if (open) RegCloseKey(map);
}

ListedPorts::~ListedPorts() {
  HKEY map;
  if (added_.empty() ||
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, KEY_ALL_ACCESS, &map) != ERROR_SUCCESS) {
    return;
  }
  for (const std::string& port : added_) RegDeleteValueA(map, port.c_str());
  RegCloseKey(map);
}

}  // namespace mdmsim
