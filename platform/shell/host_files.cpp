#include "platform/shell/host_files.h"

#include <filesystem>

#include "platform/shell/fileapi.h"

namespace platform::shell {

DWORD AttributesOf(const struct stat& info) {
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

FILETIME FileTimeOf(const struct timespec& time) {
  constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
  const long long seconds = static_cast<long long>(time.tv_sec) + kSecondsFrom1601To1970;
  if (seconds < 0) return {0, 0};
  const auto ticks = static_cast<unsigned long long>(seconds) * 10000000ULL + time.tv_nsec / 100;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

DWORD MissingError(const std::string& hostPath) {
  std::filesystem::path parent = std::filesystem::path(hostPath).parent_path();
  std::error_code error;
  if (parent.empty() || std::filesystem::is_directory(parent, error)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

}  // namespace platform::shell
