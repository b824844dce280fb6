// A Windows console: the stop requests are its control events, whose handler the system calls
// on a thread of its own, as the Linux side's signal thread is.
#include "platform/base/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include <mutex>
#include <utility>

namespace platform {

namespace {

std::mutex handlerMutex;
std::function<void(StopRequest)> handler;

BOOL WINAPI OnControlEvent(DWORD event) {
  std::function<void(StopRequest)> onStop;
  {
    std::lock_guard lock(handlerMutex);
    onStop = handler;
  }
  if (!onStop) return FALSE;
  bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  onStop(interrupt ? StopRequest::kInterrupt : StopRequest::kTerminate);
  // The system ends the process once this returns for a closed console, a log-off or a
  // shutdown; the program is given the time it has left (about 5 s) to close its session.
  if (!interrupt) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void HandStopRequestsTo(std::function<void(StopRequest)> onStop) {
  {
    std::lock_guard lock(handlerMutex);
    handler = std::move(onStop);
  }
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void IgnoreBrokenPipes() {}

void WriteStandardOutputAsIs() {
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
