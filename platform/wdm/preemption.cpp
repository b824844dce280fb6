#include "platform/wdm/preemption.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/wdm/processor.h"

namespace platform::wdm::preemption {
namespace {

std::atomic<int> requestedMs{0};

}  // namespace

void Hold(int ms) {
  requestedMs.store(ms, std::memory_order_relaxed);
}

void Point() {
  int ms = requestedMs.load(std::memory_order_relaxed);
  if (ms == 0 || CurrentProcessor() == nullptr) return;
  if (!requestedMs.compare_exchange_strong(ms, 0)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace platform::wdm::preemption
