// On Windows OutputDebugStringA is kernel32's and its texts go to the system's debugger; the
// program's own sink receives nothing.
#include "platform/win32/debug.h"

namespace platform::win32 {

DebugSink& ProgramDebugSink() {
  static DebugSink sink;
  return sink;
}

}  // namespace platform::win32
