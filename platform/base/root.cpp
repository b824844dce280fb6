#include "platform/base/root.h"

#include <cstdlib>

namespace platform {

std::filesystem::path Root() {
  if (const char* root = std::getenv("MDM_ROOT"); root != nullptr && *root != '\0') return root;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
    return std::filesystem::path(data) / "mdm";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : ".") / ".local" / "share" / "mdm";
}

}  // namespace platform
