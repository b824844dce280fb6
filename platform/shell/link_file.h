// The shell-link file format: what a .lnk file holds and its bytes, little-endian as published
// for shell links (a header with the link class, the link information that resolves the target
// path, the description as a string, and the end of the extra data).
#pragma once

#include <string>
#include <vector>

#include "platform/win32/windows.h"

namespace platform::shell {

// What the header says about the target, taken when the link is saved (zero when it is missing).
struct TargetFacts {
  DWORD attributes = 0;
  FILETIME creation{};
  FILETIME access{};
  FILETIME write{};
  DWORD size = 0;
};

struct LinkContents {
  std::string targetPath;  // 8-bit platform path; empty: the link has no target
  TargetFacts target;
  std::u16string description;  // empty: none
};

constexpr DWORD kLinkHeaderSize = 0x4C;
constexpr DWORD kHasLinkInfo = 0x00000002;
constexpr DWORD kHasName = 0x00000004;
constexpr DWORD kIsUnicode = 0x00000080;
constexpr DWORD kShowNormal = 1;
constexpr DWORD kDriveFixed = 3;

std::vector<BYTE> EncodeShellLink(const LinkContents& contents);

}  // namespace platform::shell
