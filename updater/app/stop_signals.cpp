#include "updater/app/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

void HandStopSignalsTo(std::function<void(int)> onSignal) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals, onSignal = std::move(onSignal)] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) != 0) return;
      onSignal(received);
    }
  }).detach();
}
