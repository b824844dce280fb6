// What the shell stand-in lets tests and tools see and set: the change notices it received,
// where a special folder lies, and how many shell-link objects are alive.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/shell/shlobj.h"

namespace platform::shell {

// One SHChangeNotify call. The items are kept as text when the flags say they are 8-bit paths
// (SHCNF_PATHA), else empty; `hasItem2` tells whether a second item was given.
struct ChangeNotice {
  LONG event = 0;
  UINT flags = 0;
  std::string item1;
  std::string item2;
  bool hasItem2 = false;
};

// Every notice since the start or the last ClearChangeNotices, oldest first.
std::vector<ChangeNotice> ChangeNotices();
void ClearChangeNotices();

// Puts a special folder at the given platform path instead of its place in the platform root
// (std::nullopt: back to the platform root). Only CSIDL_PROGRAMS is known.
void SetSpecialFolder(int folder, std::optional<std::string> platformPath);

// Shell-link objects created and not yet released to their end.
std::size_t LiveShellLinks();

// The platform path of a host path: made absolute, with "\" as separator.
std::string PlatformPath(const std::filesystem::path& hostPath);

}  // namespace platform::shell
