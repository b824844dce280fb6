// How a program run from a terminal (Linux) or a console (Windows) meets it: the requests to stop,
// taken by a thread of their own rather than by a handler, so that what they start may lock and
// allocate (on Linux the signals SIGINT, SIGTERM and SIGHUP; on Windows the console's control
// events); broken pipes; and standard output's bytes.
#pragma once

#include <functional>

namespace platform {

enum class StopRequest {
  kNone,
  kInterrupt,  // SIGINT; Ctrl-C or Ctrl-Break in a console
  kTerminate,  // SIGTERM; the console closed, the user logging off, the system shutting down
  kHangUp,     // SIGHUP: the terminal hung up
};

// The request's name in a program's last line: "SIGINT", "SIGTERM" or "SIGHUP".
inline const char* StopRequestName(StopRequest request) {
  return request == StopRequest::kTerminate ? "SIGTERM"
         : request == StopRequest::kHangUp  ? "SIGHUP"
                                            : "SIGINT";
}

// Calls `onStop` with each stop request that arrives from now on, on a thread of its own. On
// Linux the three signals are blocked in this thread and every thread it starts from now on.
void HandStopRequestsTo(std::function<void(StopRequest)> onStop);

// A write to a closed pipe or terminal only fails, instead of ending the program (SIGPIPE on
// Linux; a failed write is all Windows knows).
void IgnoreBrokenPipes();

// Standard output carries the bytes written to it as they are. Linux does anyway; on Windows the
// runtime's text mode would write each LF as CR LF, where texts such as the update log's already
// end their lines in CR LF.
void WriteStandardOutputAsIs();

}  // namespace platform
