#include "platform/win32/debug.h"

#include "platform/win32/windows.h"

namespace platform::win32 {

DebugSink& ProgramDebugSink() {
  static DebugSink sink;
  return sink;
}

}  // namespace platform::win32

void OutputDebugStringA(LPCSTR text) {
  if (text != nullptr) platform::win32::debug::Sink().Deliver(text);
}
