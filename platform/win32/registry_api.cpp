// RegOpenKeyExA and friends over the registry store (platform::registry::Default()).
//
// An opened key is a handle-table object that holds the key's full path; every call goes to the
// store by that path. A handle whose key was deleted (by this or another process) stays valid:
// calls through it fail with ERROR_KEY_DELETED, as on the platform. Should a key of the same path
// be created again, the old handle reaches the new key.
#include <cstring>
#include <optional>
#include <string>

#include "platform/registry/store.h"
#include "platform/win32/debug.h"
#include "platform/win32/objects.h"
#include "platform/win32/windows.h"

namespace platform::win32 {
namespace {

namespace reg = platform::registry;

static_assert(static_cast<DWORD>(reg::Error::kNotFound) == ERROR_FILE_NOT_FOUND);
static_assert(static_cast<DWORD>(reg::Error::kAccessDenied) == ERROR_ACCESS_DENIED);
static_assert(static_cast<DWORD>(reg::Error::kTooManyOpenFiles) == ERROR_TOO_MANY_OPEN_FILES);
static_assert(static_cast<DWORD>(reg::Error::kLockViolation) == ERROR_LOCK_VIOLATION);
static_assert(static_cast<DWORD>(reg::Error::kInvalidParameter) == ERROR_INVALID_PARAMETER);
static_assert(static_cast<DWORD>(reg::Error::kNoMoreItems) == ERROR_NO_MORE_ITEMS);
static_assert(static_cast<DWORD>(reg::Error::kCantRead) == ERROR_CANTREAD);
static_assert(static_cast<DWORD>(reg::Error::kCantWrite) == ERROR_CANTWRITE);
static_assert(static_cast<DWORD>(reg::Error::kCorrupt) == ERROR_REGISTRY_CORRUPT);
static_assert(reg::kTypeSz == REG_SZ && reg::kTypeBinary == REG_BINARY &&
              reg::kTypeDword == REG_DWORD && reg::kTypeNone == REG_NONE);

class RegistryKey final : public Object {
 public:
  explicit RegistryKey(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  const std::string path_;
};

// A key as the calls see it: its full path, and whether it is one of the predefined roots.
struct KeyRef {
  std::string path;
  bool root = false;
};

std::optional<KeyRef> Resolve(HKEY key) {
  struct Predefined {
    HKEY key;
    const char* path;
  };
  const Predefined predefined[] = {
      {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
      {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},   {HKEY_USERS, "HKEY_USERS"},
      {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"}, {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
  };
  for (const Predefined& entry : predefined) {
    if (entry.key == key) return KeyRef{entry.path, true};
  }
  if (auto object = Lookup<RegistryKey>(key)) return KeyRef{object->path(), false};
  return std::nullopt;
}

std::string Below(const KeyRef& key, LPCSTR subKey) {
  if (subKey == nullptr || *subKey == '\0') return key.path;
  return key.path + '\\' + subKey;
}

// The store's answer as a platform code. A key or value reported missing below an opened key
// that is itself gone means the key was deleted under the handle.
LSTATUS Finish(const reg::Status& status, const KeyRef& key) {
  // The code alone would not say which file lacked a descriptor: the debugger output does.
  if (status.error == reg::Error::kTooManyOpenFiles) {
    debug::Sink().Deliver((status.message + "\n").c_str());
  }
  if (status.error == reg::Error::kNotFound && !key.root &&
      reg::Default().OpenKey(key.path).error == reg::Error::kNotFound) {
    return ERROR_KEY_DELETED;
  }
  return static_cast<LSTATUS>(status.code());
}

// Copies a name with its NUL when the caller's room (in characters, NUL included) suffices;
// `chars` then receives the length without the NUL.
LSTATUS ReturnName(const std::string& name, LPSTR buffer, LPDWORD chars) {
  if (buffer == nullptr || chars == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *chars) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Returns a value's type and bytes exactly as stored: nothing is added (no NUL for an
// unterminated string) and nothing is written past the caller's room; when the room is too small,
// `dataBytes` receives the size needed.
LSTATUS ReturnData(const reg::Value& value, LPDWORD type, LPBYTE data, LPDWORD dataBytes) {
  if (data != nullptr && dataBytes == nullptr) return ERROR_INVALID_PARAMETER;
  if (type != nullptr) *type = value.type;
  const auto size = static_cast<DWORD>(value.data.size());
  if (data != nullptr && *dataBytes < size) {
    *dataBytes = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size != 0) std::memcpy(data, value.data.data(), size);
  if (dataBytes != nullptr) *dataBytes = size;
  return ERROR_SUCCESS;
}

// Opens (or, with `create`, creates) the key below `key`.
LSTATUS OpenBelow(HKEY key, LPCSTR subKey, bool create, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  auto base = Resolve(key);
  if (!base) return ERROR_INVALID_HANDLE;
  // The platform hands back a predefined key itself when no subkey is named.
  if (base->root && (subKey == nullptr || *subKey == '\0')) {
    if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    *result = key;
    return ERROR_SUCCESS;
  }
  const std::string path = Below(*base, subKey);
  std::string canonical;
  reg::Status status = reg::Default().OpenKey(path, &canonical);
  bool created = false;
  if (create && status.error == reg::Error::kNotFound) {
    // Creating below a deleted key must not bring the deleted key back.
    if (LSTATUS parent = Finish(status, *base); parent == ERROR_KEY_DELETED) return parent;
    status = reg::Default().CreateKey(path, &created);
    if (status.ok()) status = reg::Default().OpenKey(path, &canonical);
  }
  if (!status.ok()) return Finish(status, *base);
  if (disposition != nullptr) {
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  *result = reinterpret_cast<HKEY>(InsertHandle(std::make_shared<RegistryKey>(canonical)));
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace platform::win32

using platform::win32::Finish;
using platform::win32::Resolve;
namespace reg = platform::registry;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
  return platform::win32::OpenBelow(key, subKey, false, result, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return platform::win32::OpenBelow(key, subKey, true, result, disposition);
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars, LPDWORD,
                      LPDWORD type, LPBYTE data, LPDWORD dataBytes) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  reg::Value value;
  reg::Status status = reg::Default().EnumValue(ref->path, index, value);
  if (!status.ok()) return Finish(status, *ref);
  if (LSTATUS named = platform::win32::ReturnName(value.name, valueName, valueNameChars);
      named != ERROR_SUCCESS) {
    return named;
  }
  return platform::win32::ReturnData(value, type, data, dataBytes);
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD,
                      LPSTR className, LPDWORD classChars, void* lastWriteTime) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  std::string subkey;
  reg::Status status = reg::Default().EnumSubkey(ref->path, index, subkey);
  if (!status.ok()) return Finish(status, *ref);
  if (LSTATUS named = platform::win32::ReturnName(subkey, name, nameChars);
      named != ERROR_SUCCESS) {
    return named;
  }
  // Keys have no class names here, and no write times (a FILETIME of zero).
  if (classChars != nullptr) {
    if (className != nullptr && *classChars > 0) className[0] = '\0';
    *classChars = 0;
  }
  if (lastWriteTime != nullptr) std::memset(lastWriteTime, 0, 8);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD dataBytes) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  reg::Value value;
  reg::Status status =
      reg::Default().GetValue(ref->path, valueName != nullptr ? valueName : "", value);
  if (!status.ok()) return Finish(status, *ref);
  return platform::win32::ReturnData(value, type, data, dataBytes);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                       DWORD dataBytes) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  if (data == nullptr && dataBytes != 0) return ERROR_INVALID_PARAMETER;
  std::span<const BYTE> bytes(data, data != nullptr ? dataBytes : 0);
  return Finish(
      reg::Default().SetValue(ref->path, valueName != nullptr ? valueName : "", type, bytes), *ref);
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  return Finish(reg::Default().DeleteValue(ref->path, valueName != nullptr ? valueName : ""), *ref);
}

// Deletes the key with all its subkeys, as the platform's 32-bit registry does. An empty name
// deletes the key the handle names; its handle then reports ERROR_KEY_DELETED.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Finish(reg::Default().DeleteKey(platform::win32::Below(*ref, subKey)), *ref);
}

LSTATUS RegCloseKey(HKEY key) {
  auto ref = Resolve(key);
  if (!ref) return ERROR_INVALID_HANDLE;
  // Predefined keys are never really opened, so closing one does nothing.
  if (ref->root) return ERROR_SUCCESS;
  return CloseHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
