// A device behind an in-process COM port that takes at most `room` bytes per call and remembers
// what it got.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "platform/win32/inprocess_port.h"

namespace testing_support {

struct RecordingDevice : platform::win32::CommDevice {
  std::size_t room = SIZE_MAX;
  std::string received;
  std::size_t OnTransmit(platform::win32::InProcessPort&, std::span<const BYTE> bytes) override {
    std::size_t take = std::min(room, bytes.size());
    received.append(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    return take;
  }
};

}  // namespace testing_support
