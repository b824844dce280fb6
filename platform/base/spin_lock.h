// A lock for the stand-ins' short bookkeeping (flat regions, the live requests, the trace): a
// few instructions when free, which it nearly always is, since on the virtual clock one thread
// runs at a time. A holder never blocks or calls out while holding it.
#pragma once

#include <atomic>
#include <thread>

namespace platform {

class SpinLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace platform
