// Where OutputDebugStringA goes: platform::win32::debug::Capture for tests, SetStream for the
// programs.
#pragma once

#include "platform/base/debug_sink.h"

namespace platform::win32 {

DebugSink& ProgramDebugSink();
using debug = DebugOutput<ProgramDebugSink>;

}  // namespace platform::win32
