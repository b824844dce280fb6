#include "platform/win32/faults.h"

#include <array>
#include <atomic>

namespace platform::win32::faults {
namespace {

std::array<std::atomic<int>, 2> gCountdown{};

std::atomic<int>& Countdown(Call call) {
  return gCountdown[static_cast<std::size_t>(call)];
}

}  // namespace

void FailNth(Call call, int n) {
  Countdown(call) = n;
}

bool ShouldFail(Call call) {
  int left = Countdown(call).load();
  while (left > 0 && !Countdown(call).compare_exchange_weak(left, left - 1)) {
  }
  return left == 1;
}

}  // namespace platform::win32::faults
