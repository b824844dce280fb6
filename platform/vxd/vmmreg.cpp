#include "platform/vxd/vmmreg.h"

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/registry/store.h"

namespace {

namespace reg = platform::registry;

struct Keys {
  std::mutex mutex;
  std::map<VMMHKEY, std::string> open;
  VMMHKEY next = 0x00C10000;
};

Keys& TheKeys() {
  static Keys keys;
  return keys;
}

std::optional<std::string> PathOf(VMMHKEY key) {
  switch (key) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
      return "HKEY_USERS";
    default:
      break;
  }
  Keys& keys = TheKeys();
  std::lock_guard lock(keys.mutex);
  auto it = keys.open.find(key);
  if (it == keys.open.end()) return std::nullopt;
  return it->second;
}

std::string Below(const std::string& path, const char* subKey) {
  if (subKey == nullptr || *subKey == '\0') return path;
  return path + '\\' + subKey;
}

VMMHKEY Remember(std::string path) {
  Keys& keys = TheKeys();
  std::lock_guard lock(keys.mutex);
  VMMHKEY key = keys.next++;
  keys.open[key] = std::move(path);
  return key;
}

// Copies data when the room suffices; the size becomes the data's size either way.
VMMREGRET Give(const std::vector<BYTE>& bytes, PBYTE data, PDWORD dataSize) {
  if (dataSize == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (bytes.size() > room) return ERROR_MORE_DATA;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

VMMREGRET Code(const reg::Status& status) {
  return static_cast<VMMREGRET>(status.code());
}

}  // namespace

VMMREGRET _RegOpenKey(VMMHKEY key, const char* subKey, PVMMHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::optional<std::string> path = PathOf(key);
  if (!path) return ERROR_BADKEY;
  std::string canonical;
  reg::Status status = reg::Default().OpenKey(Below(*path, subKey), &canonical);
  if (!status.ok()) return Code(status);
  *result = Remember(canonical);
  return ERROR_SUCCESS;
}

VMMREGRET _RegCreateKey(VMMHKEY key, const char* subKey, PVMMHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::optional<std::string> path = PathOf(key);
  if (!path) return ERROR_BADKEY;
  reg::Status status = reg::Default().CreateKey(Below(*path, subKey));
  if (!status.ok()) return Code(status);
  *result = Remember(Below(*path, subKey));
  return ERROR_SUCCESS;
}

VMMREGRET _RegCloseKey(VMMHKEY key) {
  Keys& keys = TheKeys();
  std::lock_guard lock(keys.mutex);
  return keys.open.erase(key) != 0 ? ERROR_SUCCESS : ERROR_BADKEY;
}

VMMREGRET _RegEnumKey(VMMHKEY key, DWORD index, char* name, DWORD nameSize) {
  std::optional<std::string> path = PathOf(key);
  if (!path) return ERROR_BADKEY;
  std::string found;
  reg::Status status = reg::Default().EnumSubkey(*path, index, found);
  if (!status.ok()) return Code(status);
  if (name == nullptr || found.size() + 1 > nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return ERROR_SUCCESS;
}

VMMREGRET _RegEnumValue(VMMHKEY key, DWORD index, char* valueName, PDWORD valueNameSize, PDWORD,
                        PDWORD type, PBYTE data, PDWORD dataSize) {
  std::optional<std::string> path = PathOf(key);
  if (!path) return ERROR_BADKEY;
  if (valueNameSize == nullptr || valueName == nullptr) return ERROR_INVALID_PARAMETER;
  reg::Value value;
  reg::Status status = reg::Default().EnumValue(*path, index, value);
  if (!status.ok()) return Code(status);
  if (value.name.size() + 1 > *valueNameSize) return ERROR_MORE_DATA;
  std::memcpy(valueName, value.name.c_str(), value.name.size() + 1);
  *valueNameSize = static_cast<DWORD>(value.name.size());
  if (type != nullptr) *type = value.type;
  return Give(value.data, data, dataSize);
}

VMMREGRET _RegQueryValueEx(VMMHKEY key, const char* valueName, PDWORD, PDWORD type, PBYTE data,
                           PDWORD dataSize) {
  std::optional<std::string> path = PathOf(key);
  if (!path) return ERROR_BADKEY;
  reg::Value value;
  reg::Status status = reg::Default().GetValue(*path, valueName != nullptr ? valueName : "", value);
  if (!status.ok()) return Code(status);
  if (type != nullptr) *type = value.type;
  return Give(value.data, data, dataSize);
}

VMMREGRET _RegSetValueEx(VMMHKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data,
                         DWORD dataSize) {
  std::optional<std::string> path = PathOf(key);
  if (!path) return ERROR_BADKEY;
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  std::span<const BYTE> bytes(data, dataSize);
  return Code(reg::Default().SetValue(*path, valueName != nullptr ? valueName : "", type, bytes));
}

namespace platform::vxd {

std::size_t OpenRegistryKeys() {
  Keys& keys = TheKeys();
  std::lock_guard lock(keys.mutex);
  return keys.open.size();
}

}  // namespace platform::vxd
