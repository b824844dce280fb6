#include "platform/registry/names.h"

#include <algorithm>

namespace platform::registry {

char FoldChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string Fold(std::string_view text) {
  std::string folded(text);
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
  return folded;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldChar(x) == FoldChar(y);
         });
}

bool ValidValueName(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

Status SplitSubkey(std::string_view subkey, std::vector<std::string>& parts) {
  parts.clear();
  std::size_t start = 0;
  while (start <= subkey.size()) {
    std::size_t end = subkey.find('\\', start);
    if (end == std::string_view::npos) end = subkey.size();
    std::string_view part = subkey.substr(start, end - start);
    if (!ValidValueName(part)) {
      return Status::Fail(Error::kInvalidParameter, "key names cannot hold line breaks or NUL");
    }
    if (part.size() > kMaxKeyNameLength) {
      return Status::Fail(
          Error::kInvalidParameter,
          "key name longer than " + std::to_string(kMaxKeyNameLength) + " characters");
    }
    if (!part.empty()) parts.emplace_back(part);
    start = end + 1;
  }
  return Status::Ok();
}

Status ParsePath(std::string_view path, KeyPath& out) {
  std::vector<std::string> parts;
  if (Status status = SplitSubkey(path, parts); !status.ok()) return status;
  if (parts.empty()) return Status::Fail(Error::kInvalidParameter, "empty key path");
  auto root = std::find_if(kRootNames.begin(), kRootNames.end(),
                           [&](std::string_view name) { return EqualNoCase(name, parts[0]); });
  if (root == kRootNames.end()) {
    return Status::Fail(Error::kInvalidParameter,
                        "unknown root key \"" + parts[0] + "\" in \"" + std::string(path) + "\"");
  }
  if (parts.size() - 1 > kMaxKeyDepth) {
    return Status::Fail(Error::kInvalidParameter,
                        "key more than " + std::to_string(kMaxKeyDepth) + " levels deep");
  }
  out.root = static_cast<std::size_t>(root - kRootNames.begin());
  out.parts.assign(parts.begin() + 1, parts.end());
  return Status::Ok();
}

std::string JoinPath(const KeyPath& path) {
  std::string text(kRootNames[path.root]);
  for (const std::string& part : path.parts) {
    text += '\\';
    text += part;
  }
  return text;
}

}  // namespace platform::registry
