#include "platform/shell/host_files.h"

#include <filesystem>

#include "platform/shell/fileapi.h"

namespace platform::shell {

DWORD MissingError(const std::string& hostPath) {
  std::filesystem::path parent = std::filesystem::path(hostPath).parent_path();
  std::error_code error;
  if (parent.empty() || std::filesystem::is_directory(parent, error)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

}  // namespace platform::shell
