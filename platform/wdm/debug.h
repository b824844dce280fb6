// Where DbgPrint goes: platform::wdm::debug::Capture for tests, SetStream for the programs.
#pragma once

#include "platform/base/debug_sink.h"

namespace platform::wdm {

DebugSink& KernelDebugSink();
using debug = DebugOutput<KernelDebugSink>;

}  // namespace platform::wdm
