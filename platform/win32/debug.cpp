#include "platform/win32/debug.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/win32/windows.h"

namespace platform::win32::debug {
namespace {

struct Sink {
  std::mutex mutex;
  std::FILE* stream = nullptr;
  std::vector<Capture*> captures;
};

Sink& TheSink() {
  static Sink sink;
  return sink;
}

}  // namespace

void SetStream(std::FILE* stream) {
  std::lock_guard lock(TheSink().mutex);
  TheSink().stream = stream;
}

Capture::Capture() {
  std::lock_guard lock(TheSink().mutex);
  TheSink().captures.push_back(this);
}

Capture::~Capture() {
  std::lock_guard lock(TheSink().mutex);
  std::erase(TheSink().captures, this);
}

std::string Capture::Text() const {
  std::lock_guard lock(TheSink().mutex);
  return text_;
}

void Capture::Clear() {
  std::lock_guard lock(TheSink().mutex);
  text_.clear();
}

void Deliver(const char* text) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  for (Capture* capture : sink.captures) capture->text_ += text;
  if (sink.stream != nullptr) {
    std::fputs(text, sink.stream);
    std::fflush(sink.stream);
  }
}

}  // namespace platform::win32::debug

void OutputDebugStringA(LPCSTR text) {
  if (text != nullptr) platform::win32::debug::Deliver(text);
}
