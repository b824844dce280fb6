#include "sim/modem/flash.h"

#include <algorithm>

namespace sim::modem {

void Flash::Erase() {
  image_.clear();
  file_ = {};
}

bool Flash::Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (offset > image_.size() || offset + bytes.size() > kCapacity) return false;
  std::size_t end = static_cast<std::size_t>(offset) + bytes.size();
  if (end > image_.size()) image_.resize(end);
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

}  // namespace sim::modem
