#include "platform/base/root.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

namespace platform {

std::filesystem::path Root() {
  if (const char* root = std::getenv("MDM_ROOT"); root != nullptr && *root != '\0') return root;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
    return std::filesystem::path(data) / "mdm";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : ".") / ".local" / "share" / "mdm";
}

bool PrepareServedRoot(std::string& error) {
  const std::filesystem::path root = Root();
  const std::filesystem::path links = root / "dosdevices";
  std::error_code made;
  std::filesystem::create_directories(links, made);
  if (made) {
    error = "the platform root " + root.string() + " cannot be used: " + links.string() + ": " +
            made.message();
    return false;
  }
  for (const std::filesystem::path& folder : {root, links}) {
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
      error = "the platform root " + root.string() + " cannot be used: " + folder.string() + ": " +
              std::strerror(errno);
      return false;
    }
  }
  return true;
}

namespace {

struct LiveRoots {
  std::mutex mutex;
  std::set<std::filesystem::path> folders;  // made, not yet removed, not kept
};

LiveRoots& Live() {
  static LiveRoots live;
  return live;
}

void Forget(const std::filesystem::path& folder) {
  std::lock_guard lock(Live().mutex);
  Live().folders.erase(folder);
}

}  // namespace

void RemoveTemporaryRoots() {
  std::lock_guard lock(Live().mutex);
  std::error_code ignored;
  for (const std::filesystem::path& folder : Live().folders) {
    std::filesystem::remove_all(folder, ignored);
  }
  Live().folders.clear();
}

void TemporaryRoot::Keep() {
  keep_ = true;
  Forget(path_);
}

TemporaryRoot::TemporaryRoot(const std::string& prefix) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) folder = "/tmp";
  std::string pattern = (folder / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  {
    std::lock_guard lock(Live().mutex);
    Live().folders.insert(path_);
  }
  std::ofstream(path_ / kScratchMarker).put('\n');
  if (const char* old = std::getenv("MDM_ROOT")) previous_ = old;
  ::setenv("MDM_ROOT", path_.c_str(), 1);
}

TemporaryRoot::~TemporaryRoot() {
  if (path_.empty()) return;
  if (previous_) {
    ::setenv("MDM_ROOT", previous_->c_str(), 1);
  } else {
    ::unsetenv("MDM_ROOT");
  }
  std::error_code ignored;
  Forget(path_);
  if (!keep_) std::filesystem::remove_all(path_, ignored);
}

}  // namespace platform
