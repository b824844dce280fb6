// Results of registry store operations: an error code with the platform's numbering, so that the
// Reg* calls can return it as it is, and a message for people (the mdmreg tool, logs).
#pragma once

#include <string>
#include <utility>

#include "platform/base/types.h"

namespace platform::registry {

// The value types the store interprets itself; any other type is kept as raw bytes.
constexpr DWORD kTypeNone = 0;
constexpr DWORD kTypeSz = 1;
constexpr DWORD kTypeBinary = 3;
constexpr DWORD kTypeDword = 4;

// Each value equals the platform's error code of the same meaning.
enum class Error : DWORD {
  kNone = 0,               // ERROR_SUCCESS
  kNotFound = 2,           // ERROR_FILE_NOT_FOUND: no such key or value
  kTooManyOpenFiles = 4,   // ERROR_TOO_MANY_OPEN_FILES: registry.reg could not get a descriptor
  kAccessDenied = 5,       // ERROR_ACCESS_DENIED: a root key cannot be deleted
  kLockViolation = 33,     // ERROR_LOCK_VIOLATION: the lock file could not be locked in time
  kInvalidParameter = 87,  // ERROR_INVALID_PARAMETER: an empty or malformed key path
  kNoMoreItems = 259,      // ERROR_NO_MORE_ITEMS: enumeration index past the end
  kCantRead = 1012,        // ERROR_CANTREAD
  kCantWrite = 1013,       // ERROR_CANTWRITE
  kCorrupt = 1015,         // ERROR_REGISTRY_CORRUPT: registry.reg does not parse
};

struct Status {
  Error error = Error::kNone;
  std::string message;  // empty on success

  bool ok() const { return error == Error::kNone; }
  DWORD code() const { return static_cast<DWORD>(error); }

  static Status Ok() { return {}; }
  static Status Fail(Error error, std::string message) { return {error, std::move(message)}; }
};

}  // namespace platform::registry
