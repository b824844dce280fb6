#include "tools/mdmsim/stop.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/base/root.h"

namespace mdmsim {
namespace {

int stopPipe[2] = {-1, -1};
std::mutex handlerMutex;
std::function<void()> stopHandler;
std::atomic<bool> stopping{false};

const char* SignalName(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM";
}

// SIGPIPE is caught rather than ignored, so that programs started from here get its default
// handling back; a write to a closed pipe or socket then only fails.
void OnBrokenPipe(int) {}

void OnStopSignal(int signal) {
  stopping = true;
  const unsigned char number = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t written = ::write(stopPipe[1], &number, 1);
}

}  // namespace

// A handler (not a blocked signal) hands the signal to a thread, so that programs started from
// here get the default handling back.
void StopOnSignals() {
  if (::pipe(stopPipe) != 0) return;
  std::thread([] {
    unsigned char number = 0;
    if (::read(stopPipe[0], &number, 1) != 1) return;
    std::function<void()> handler;
    {
      std::lock_guard lock(handlerMutex);
      handler = stopHandler;
    }
    if (handler) handler();
    platform::RemoveTemporaryRoots();
    std::fprintf(stderr, "\nmdmsim: stopped by %s\n", SignalName(number));
    ::_exit(128 + number);
  }).detach();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  // Calls the signal interrupts carry on, so no thread fails for it while the stop runs.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  // A hang-up of the controlling terminal stops as a termination request does.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  action.sa_handler = OnBrokenPipe;
  ::sigaction(SIGPIPE, &action, nullptr);
}

void SetStopHandler(std::function<void()> handler) {
  std::lock_guard lock(handlerMutex);
  stopHandler = std::move(handler);
}

int ResultUnlessStopped(int result) {
  if (!stopping) return result;
  for (;;) ::pause();
}

}  // namespace mdmsim
