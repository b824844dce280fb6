// The file information that comes with ZFILE: the name, a NUL, then "size mtime mode ..." with
// the size in decimal and the time and mode in octal; fields after the name may be missing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sim::modem {

struct FileInfo {
  std::string name;
  std::optional<std::uint64_t> size;  // missing when the sender did not give it
  std::uint64_t mtime = 0;            // seconds since 1970
  std::uint32_t mode = 0;
};

FileInfo ParseFileInfo(std::span<const std::uint8_t> block);

}  // namespace sim::modem
