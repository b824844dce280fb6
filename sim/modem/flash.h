// The modem's flash memory as the download fills it: the image written so far and the file
// information that came with it. A download starts by erasing it; it keeps its content over a
// DTR drop, so a test can read what the last download left.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "sim/modem/file_info.h"

namespace sim::modem {

class Flash {
 public:
  static constexpr std::size_t kCapacity = 16 * 1024 * 1024;

  void Erase();
  // Writes bytes at offset. Fails, writing nothing, when the bytes would not fit into the
  // memory or would leave unwritten bytes before offset (the image is written front to back).
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  void SetFile(FileInfo file) { file_ = std::move(file); }

  const std::vector<std::uint8_t>& image() const { return image_; }
  const FileInfo& file() const { return file_; }

 private:
  std::vector<std::uint8_t> image_;
  FileInfo file_;
};

}  // namespace sim::modem
