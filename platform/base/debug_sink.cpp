#include "platform/base/debug_sink.h"

#include <algorithm>

namespace platform {

void DebugSink::SetStream(std::FILE* stream) {
  std::lock_guard lock(mutex_);
  stream_ = stream;
}

void DebugSink::Deliver(const char* text) {
  std::lock_guard lock(mutex_);
  for (Capture* capture : captures_) capture->text_ += text;
  if (stream_ != nullptr) {
    std::fputs(text, stream_);
    std::fflush(stream_);
  }
}

DebugSink::Capture::Capture(DebugSink& sink) : sink_(sink) {
  std::lock_guard lock(sink_.mutex_);
  sink_.captures_.push_back(this);
}

DebugSink::Capture::~Capture() {
  std::lock_guard lock(sink_.mutex_);
  std::erase(sink_.captures_, this);
}

std::string DebugSink::Capture::Text() const {
  std::lock_guard lock(sink_.mutex_);
  return text_;
}

void DebugSink::Capture::Clear() {
  std::lock_guard lock(sink_.mutex_);
  text_.clear();
}

}  // namespace platform
