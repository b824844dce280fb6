#include "platform/wdm/debug.h"

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <vector>

#include "platform/wdm/wdm.h"

namespace platform::wdm::debug {
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

}  // namespace platform::wdm::debug

ULONG DbgPrint(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  platform::wdm::debug::Deliver(text);
  return 0;
}
