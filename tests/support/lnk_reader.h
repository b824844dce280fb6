// A reader of shell-link (.lnk) files, written from the published description of the format and
// kept apart from the stand-in's writer, so that the tests see what any other reader would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace links_test {

struct LinkFile {
  std::uint32_t flags = 0;
  std::uint32_t attributes = 0;
  std::uint32_t fileSize = 0;
  std::uint32_t showCommand = 0;
  std::optional<std::uint32_t> driveType;
  std::optional<std::string> target;  // local base path + common path suffix
  std::optional<std::u16string> description;
  std::optional<std::u16string> relativePath, workingDir, arguments, iconLocation;
};

// The decoded file, or nullopt with `error` saying what is malformed.
std::optional<LinkFile> ReadLink(const std::vector<std::uint8_t>& bytes, std::string& error);
std::optional<LinkFile> ReadLinkFile(const std::string& hostPath, std::string& error);

// ASCII text as UTF-16, for comparing descriptions.
std::u16string Wide(const std::string& ascii);

}  // namespace links_test
