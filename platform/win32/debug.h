// Where OutputDebugStringA goes: capture buffers for tests, and optionally a stream for the
// programs.
#pragma once

#include "platform/base/debug_sink.h"

namespace platform::win32::debug {

DebugSink& Sink();

// Sends every text to `stream` as well (null: nowhere, the default).
inline void SetStream(std::FILE* stream) {
  Sink().SetStream(stream);
}

// Collects every text written while it lives, from any thread.
class Capture : public DebugSink::Capture {
 public:
  Capture() : DebugSink::Capture(Sink()) {}
};

}  // namespace platform::win32::debug
