// Events and threads of the Win32 stand-in, for the other stand-ins that complete work through
// a caller's event (overlapped I/O).
#pragma once

#include <memory>

#include "platform/clock/clock.h"
#include "platform/win32/objects.h"

namespace platform::win32 {

class Event final : public Object {
 public:
  Event(bool manualReset, bool initialState)
      : manualReset_(manualReset), signalled_(initialState) {}
  bool Waitable() const override { return true; }
  bool Signalled() const override { return signalled_; }
  void Acquire() override {
    if (!manualReset_) signalled_ = false;
  }
  // Under the clock's mutex; the caller notifies the clock afterwards.
  void SetLocked() { signalled_ = true; }
  void ResetLocked() { signalled_ = false; }

 private:
  bool manualReset_;
  bool signalled_;
};

// Sets an event named by a handle, under the clock's mutex (held by the caller), and notifies
// the clock. Does nothing for a handle that is not an event.
void SetEventLocked(HANDLE event);

}  // namespace platform::win32
