// Kernel objects behind HANDLE values, and the process-wide handle table.
#pragma once

#include <memory>

#include "platform/win32/windows.h"

namespace platform::win32 {

// Base of every object a HANDLE can name. Waitable objects answer Signalled() and Acquire()
// under the clock's mutex (platform::clock), which guards every waitable state.
class Object {
 public:
  virtual ~Object() = default;
  virtual bool Waitable() const { return false; }
  // Whether a wait on the object would be satisfied now. Called under the clock's mutex.
  virtual bool Signalled() const { return false; }
  // Takes what a satisfied wait consumes (an auto-reset event resets). Under the clock's mutex.
  virtual void Acquire() {}
  // Called when the last handle to the object closes (before the object itself may die, since
  // outstanding work can still hold it).
  virtual void OnLastHandleClosed() {}
};

// Enters an object and returns its new handle. Handle values are never reused within a
// process, so a handle used after its close fails with ERROR_INVALID_HANDLE.
HANDLE InsertHandle(std::shared_ptr<Object> object);

// The object behind a handle, or null (with ERROR_INVALID_HANDLE set) when the handle is closed,
// unknown, or names an object of another kind.
std::shared_ptr<Object> LookupObject(HANDLE handle);

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  auto object = std::dynamic_pointer_cast<T>(LookupObject(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// Number of handles open in the process; tests use it to show that nothing was left behind.
std::size_t OpenHandleCount();

}  // namespace platform::win32
