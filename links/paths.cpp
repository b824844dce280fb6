#include "links/paths.h"

#include <cstring>

#include "links/names.h"

namespace mdmlinks {

bool CopyPath(PathBuffer& path, LPCSTR text) {
  path[0] = '\0';
  return AppendPath(path, text);
}

bool AppendPath(PathBuffer& path, LPCSTR text) {
  const std::size_t length = strnlen(path, MAX_PATH);
  const std::size_t added = std::strlen(text);
  if (length + added >= MAX_PATH) return false;
  std::memcpy(path + length, text, added + 1);
  return true;
}

bool EndWithSeparator(PathBuffer& path) {
  const std::size_t length = strnlen(path, MAX_PATH);
  if (length > 0 && path[length - 1] == '\\') return true;
  return AppendPath(path, kSeparator);
}

}  // namespace mdmlinks
