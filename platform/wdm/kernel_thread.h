// The kernel's processor on a thread of its own, on the real clock, as a program over a real USB
// bus runs it: started and known to be running when constructed, stopped when destroyed.
#pragma once

#include <functional>

#include "platform/clock/clock.h"
#include "platform/wdm/processor.h"

namespace platform::wdm {

class KernelThread {
 public:
  KernelThread() {
    thread_ = platform::clock::Spawn("kernel", [this] { processor_.Run(); });
    // The processor is the kernel's only once its thread runs it.
    platform::clock::Clock& clock = platform::clock::Current();
    platform::clock::Lock lock(clock.Mutex());
    const std::function<bool()> running = [this] { return CurrentProcessor() == &processor_; };
    clock.Wait(lock, running, std::nullopt, "the kernel's processor to start");
  }
  ~KernelThread() {
    processor_.Stop();
    platform::clock::Join(thread_);
  }
  KernelThread(const KernelThread&) = delete;
  KernelThread& operator=(const KernelThread&) = delete;

  Processor& processor() { return processor_; }

 private:
  Processor processor_;
  platform::clock::SpawnedThread thread_;
};

}  // namespace platform::wdm
