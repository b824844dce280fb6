// A running digest of a byte stream: how many bytes, and an FNV-1a hash of them in order. Two
// ends of a path whose digests are equal saw the same bytes, each once and in the same order.
#pragma once

#include <cstdint>
#include <span>

namespace sim::usbdevice {

struct ByteDigest {
  std::uint64_t count = 0;
  std::uint64_t hash = 14695981039346656037ull;

  void Add(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    count += bytes.size();
  }
  bool operator==(const ByteDigest&) const = default;
};

}  // namespace sim::usbdevice
