// The platform root on Windows: MDM_ROOT when set, else "mdm" in the user's local application
// data folder.
#include <cstdlib>

#include "platform/base/root.h"

namespace platform {

std::filesystem::path Root() {
  if (const char* root = std::getenv("MDM_ROOT"); root != nullptr && *root != '\0') return root;
  const char* data = std::getenv("LOCALAPPDATA");
  return std::filesystem::path(data != nullptr ? data : ".") / "mdm";
}

// Programs on Windows make no scratch roots.
void RemoveTemporaryRoots() {}

}  // namespace platform
