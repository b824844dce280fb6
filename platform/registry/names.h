// Names in the registry: case-insensitive comparison (ASCII folding, as the platform compares
// key and value names) and key paths of the form "HKEY_LOCAL_MACHINE\Software\Vendor".
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/status.h"

namespace platform::registry {

// The platform compares names upper-cased; folding the same way gives the same sort order
// (it matters for characters between 'Z' and 'a', such as '_').
char FoldChar(char c);
std::string Fold(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);

// The predefined root keys, by their full names.
constexpr std::array<std::string_view, 6> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE",
    "HKEY_USERS",        "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

// The platform's own limits on keys: a key name holds at most 255 characters and a key lies at
// most 512 levels below its root key. Every path is refused beyond them, so that no file or
// caller can make a walk over the tree, or the text written for it, grow without bound.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxKeyDepth = 512;

// A key path taken apart: the root's index in kRootNames and the names below it.
struct KeyPath {
  std::size_t root = 0;
  std::vector<std::string> parts;
};

// Splits a subkey path at backslashes. Empty pieces (a leading, trailing or doubled backslash)
// are skipped. Fails for names that a REGEDIT4 file cannot hold (line breaks, NUL) and names
// longer than kMaxKeyNameLength.
Status SplitSubkey(std::string_view subkey, std::vector<std::string>& parts);

// Parses a full path; its first piece names a root key (full name, any case). Fails for a path
// more than kMaxKeyDepth levels deep.
Status ParsePath(std::string_view path, KeyPath& out);

std::string JoinPath(const KeyPath& path);

// Whether a value name can be stored (a REGEDIT4 line cannot hold line breaks or NUL).
bool ValidValueName(std::string_view name);

}  // namespace platform::registry
