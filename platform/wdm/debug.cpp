#include "platform/wdm/debug.h"

#include <cstdarg>

#include "platform/wdm/wdm.h"

namespace platform::wdm {

DebugSink& KernelDebugSink() {
  static DebugSink sink;
  return sink;
}

}  // namespace platform::wdm

ULONG DbgPrint(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  platform::wdm::debug::Sink().Deliver(text);
  return 0;
}
