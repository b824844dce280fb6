#include "sim/modem/file_info.h"

#include <algorithm>
#include <sstream>

namespace sim::modem {

FileInfo ParseFileInfo(std::span<const std::uint8_t> block) {
  FileInfo info;
  auto nul = std::find(block.begin(), block.end(), 0);
  info.name.assign(block.begin(), nul);
  if (nul == block.end()) return info;
  // The fields end at the next NUL (the rest of the block is padding).
  auto end = std::find(nul + 1, block.end(), 0);
  std::istringstream fields(std::string(nul + 1, end));
  std::uint64_t size = 0;
  if (!(fields >> size)) return info;
  info.size = size;
  fields >> std::oct >> info.mtime >> info.mode;
  return info;
}

}  // namespace sim::modem
