// Where diagnostic texts go (the debugger output of programs, DbgPrint of the driver): capture
// buffers for tests, and optionally a stream (stderr or a file) for the programs.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class DebugSink {
 public:
  // Sends every text to `stream` as well (null: nowhere, the default); with `stamped`, each line
  // begins with the wall-clock time of its first text ("09:41:07.250 ").
  void SetStream(std::FILE* stream, bool stamped = false);
  void Deliver(const char* text);

  // Collects every text delivered to its sink while it lives, from any thread.
  class Capture {
   public:
    explicit Capture(DebugSink& sink);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::string Text() const;
    void Clear();

   private:
    friend class DebugSink;
    DebugSink& sink_;
    std::string text_;
  };

 private:
  mutable std::mutex mutex_;
  std::FILE* stream_ = nullptr;
  bool stamped_ = false;
  bool lineOpen_ = false;  // the stream's last line has no line end yet
  std::vector<Capture*> captures_;
};

// One of the platform's debugger outputs, named by the function that holds its sink: every text
// goes to the sink; SetStream sends it on to a stream as well (null: nowhere, the default), and a
// Capture collects what arrives while it lives, from any thread.
template <DebugSink& (*TheSink)()>
struct DebugOutput {
  static DebugSink& Sink() { return TheSink(); }
  static void SetStream(std::FILE* stream, bool stamped = false) {
    TheSink().SetStream(stream, stamped);
  }
  class Capture : public DebugSink::Capture {
   public:
    Capture() : DebugSink::Capture(TheSink()) {}
  };
};

// True when MDM_DEBUG asks for the debugger output (set, and neither empty nor "0").
bool DebugAskedByEnvironment();

// Copies what arrives at each of `sinks` to standard error, each line time-stamped, when `asked`
// or MDM_DEBUG asks for it; a user then sees why something was passed over.
void ShowDebugOutput(bool asked, std::initializer_list<DebugSink*> sinks);

}  // namespace platform
