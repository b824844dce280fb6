#include "platform/base/debug_sink.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace platform {

namespace {

void WriteStamp(std::FILE* stream) {
  using std::chrono::system_clock;
  const system_clock::time_point now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now - system_clock::from_time_t(seconds))
                          .count();
  std::tm local{};
  localtime_r(&seconds, &local);
  std::fprintf(stream, "%02d:%02d:%02d.%03ld ", local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<long>(millis));
}

}  // namespace

void DebugSink::SetStream(std::FILE* stream, bool stamped) {
  std::lock_guard lock(mutex_);
  stream_ = stream;
  stamped_ = stamped;
  lineOpen_ = false;
}

void DebugSink::Deliver(const char* text) {
  std::lock_guard lock(mutex_);
  for (Capture* capture : captures_) capture->text_ += text;
  if (stream_ == nullptr) return;
  if (!stamped_) {
    std::fputs(text, stream_);
  } else {
    // Texts arrive in pieces (a line of bytes printed one by one): only a line's first piece
    // gets the stamp.
    for (std::string_view rest = text; !rest.empty();) {
      if (!lineOpen_) WriteStamp(stream_);
      std::size_t end = rest.find('\n');
      std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
      std::fwrite(rest.data(), 1, length, stream_);
      lineOpen_ = end == std::string_view::npos;
      rest.remove_prefix(length);
    }
  }
  std::fflush(stream_);
}

bool DebugAskedByEnvironment() {
  const char* value = std::getenv("MDM_DEBUG");
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

void ShowDebugOutput(bool asked, std::initializer_list<DebugSink*> sinks) {
  if (!asked && !DebugAskedByEnvironment()) return;
  for (DebugSink* sink : sinks) sink->SetStream(stderr, true);
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
