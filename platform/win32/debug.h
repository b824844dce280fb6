// Where OutputDebugStringA goes: capture buffers for tests, and optionally a stream (stderr or a
// file) for the programs.
#pragma once

#include <cstdio>
#include <string>

namespace platform::win32::debug {

// Sends every debugger text to `stream` as well (null: nowhere, the default).
void SetStream(std::FILE* stream);

// Collects every debugger text written while it lives, from any thread.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string Text() const;
  void Clear();

 private:
  friend void Deliver(const char* text);
  std::string text_;
};

}  // namespace platform::win32::debug
