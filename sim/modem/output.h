// What the modem sends back, as timed chunks that the carrier (an in-process COM port now, the
// USB device model later) delivers on its clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim::modem {

using Duration = std::chrono::nanoseconds;

// A chunk of output, to be sent `after` the previous chunk of the same answer (the first one
// after the input that caused it).
struct Output {
  Duration after;
  std::vector<std::uint8_t> bytes;
};

}  // namespace sim::modem
