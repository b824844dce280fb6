// A terminal on Linux: the stop requests are signals, waited for by sigwait on a thread of their
// own.
#include "platform/base/console.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace platform {

void HandStopRequestsTo(std::function<void(StopRequest)> onStop) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals, onStop = std::move(onStop)] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) != 0) return;
      onStop(received == SIGTERM  ? StopRequest::kTerminate
             : received == SIGHUP ? StopRequest::kHangUp
                                  : StopRequest::kInterrupt);
    }
  }).detach();
}

void IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

void WriteStandardOutputAsIs() {}

}  // namespace platform
