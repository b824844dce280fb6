#include "tests/support/lnk_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace links_test {
namespace {

constexpr std::uint8_t kShellLinkClass[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Bounds-checked little-endian reads; a read past the end marks the cursor failed.
struct Cursor {
  const std::vector<std::uint8_t>& bytes;
  std::size_t at = 0;
  bool failed = false;

  bool Has(std::size_t count) {
    if (at + count > bytes.size()) failed = true;
    return !failed;
  }
  std::uint32_t Int(int size) {
    if (!Has(size)) return 0;
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) value |= std::uint32_t{bytes[at + i]} << (8 * i);
    at += size;
    return value;
  }
  // A NUL-terminated string that must end before `end`.
  std::string Text(std::size_t end) {
    std::string text;
    while (at < end && at < bytes.size() && bytes[at] != 0) text += static_cast<char>(bytes[at++]);
    if (at >= end || at >= bytes.size()) failed = true;
    return text;
  }
};

// LinkInfo: offsets count from its start; the target is the local base path and the suffix.
void ReadLinkInfo(Cursor& in, LinkFile& link) {
  const std::size_t start = in.at;
  const std::uint32_t size = in.Int(4), headerSize = in.Int(4), infoFlags = in.Int(4);
  const std::uint32_t volumeOffset = in.Int(4), baseOffset = in.Int(4);
  in.Int(4);  // network location
  const std::uint32_t suffixOffset = in.Int(4);
  const std::size_t end = start + size;
  if (headerSize < 0x1C || end < in.at || !in.Has(end - in.at)) {
    in.failed = true;
    return;
  }
  if (infoFlags & 0x1) {
    in.at = start + volumeOffset + 4;
    link.driveType = in.Int(4);
    in.at = start + baseOffset;
    std::string target = in.Text(end);
    in.at = start + suffixOffset;
    link.target = target + in.Text(end);
  }
  in.at = end;
}

std::u16string CountedString(Cursor& in, bool unicode) {
  const std::uint32_t count = in.Int(2);
  std::u16string text;
  for (std::uint32_t i = 0; i < count && !in.failed; ++i) {
    text += static_cast<char16_t>(in.Int(unicode ? 2 : 1));
  }
  return text;
}

}  // namespace

std::optional<LinkFile> ReadLink(const std::vector<std::uint8_t>& bytes, std::string& error) {
  Cursor in{bytes};
  LinkFile link;
  if (in.Int(4) != 0x4C || !in.Has(16) || std::memcmp(&bytes[4], kShellLinkClass, 16) != 0) {
    error = "not a shell link header";
    return std::nullopt;
  }
  in.at = 20;
  link.flags = in.Int(4);
  link.attributes = in.Int(4);
  in.at += 24;  // creation, access and write times
  link.fileSize = in.Int(4);
  in.Int(4);  // icon index
  link.showCommand = in.Int(4);
  in.at += 12;                               // hot key, reserved
  if (link.flags & 0x1) in.at += in.Int(2);  // the item ID list
  if (link.flags & 0x2) ReadLinkInfo(in, link);
  const bool unicode = (link.flags & 0x80) != 0;
  std::optional<std::u16string>* strings[] = {
      &link.description, &link.relativePath, &link.workingDir, &link.arguments, &link.iconLocation};
  for (int i = 0; i < 5; ++i) {
    if (link.flags & (0x4u << i)) *strings[i] = CountedString(in, unicode);
  }
  for (std::uint32_t block = in.Int(4); block >= 4 && !in.failed; block = in.Int(4)) {
    in.at += block - 4;  // extra data blocks up to the terminal block
  }
  if (in.failed || in.at != bytes.size()) {
    error = in.failed ? "truncated or inconsistent" : "bytes after the terminal block";
    return std::nullopt;
  }
  return link;
}

std::optional<LinkFile> ReadLinkFile(const std::string& hostPath, std::string& error) {
  std::ifstream file(hostPath, std::ios::binary);
  if (!file) {
    error = "cannot open " + hostPath;
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  return ReadLink(bytes, error);
}

std::u16string Wide(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace links_test
