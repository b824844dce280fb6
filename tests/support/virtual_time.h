// Runs a test in virtual time: a fresh VirtualClock for the test, with the test's own thread
// registered on it.
#pragma once

#include <memory>

#include "platform/clock/clock.h"
#include "platform/clock/virtual_clock.h"

namespace testing_support {

class VirtualTime {
 public:
  VirtualTime() : clock_(std::make_unique<platform::clock::VirtualClock>()), main_("test main") {}
  platform::clock::VirtualClock& clock() {
    return static_cast<platform::clock::VirtualClock&>(clock_.clock());
  }
  std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock().Now()).count();
  }

 private:
  platform::clock::ScopedClock clock_;
  platform::clock::ThreadScope main_;
};

}  // namespace testing_support
