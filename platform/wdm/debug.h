// Where DbgPrint goes: capture buffers for tests, and optionally a stream for the programs.
#pragma once

#include <cstdio>
#include <string>

namespace platform::wdm::debug {

// Sends every debug text to `stream` as well (null: nowhere, the default).
void SetStream(std::FILE* stream);

// Collects every debug text written while it lives, from any thread.
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

void Deliver(const char* text);

}  // namespace platform::wdm::debug
