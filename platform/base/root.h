// The platform root: the one folder that holds what the platform keeps on disk (registry.reg,
// Windows/, Start Menu/Programs/, dosdevices/). Separate processes meet through it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// MDM_ROOT when set, else "mdm" under the user's data folder ($XDG_DATA_HOME, or
// ~/.local/share). The folder is not created here.
std::filesystem::path Root();

// Readies the platform root for a program that serves COM ports to others: the root and its
// dosdevices folder exist (made when missing) and this process may write both. False, with one
// line in `error` naming the root and the cause, when the root cannot be used (a regular file,
// a folder it may not write, a read-only file system).
bool PrepareServedRoot(std::string& error);

}  // namespace platform

namespace platform {

// A file of this name in a platform root marks it as scratch: made for one run of a simulation
// or a test, so the registry is written without waiting for the disk (no fsync).
inline constexpr char kScratchMarker[] = ".scratch";

// A fresh scratch folder "<temp>/<prefix>XXXXXX" made the platform root (MDM_ROOT) for the object's
// life; at its end the former MDM_ROOT comes back and the folder is removed, unless Keep() was
// called. path() is empty when no folder could be made (MDM_ROOT is then left alone).
class TemporaryRoot {
 public:
  explicit TemporaryRoot(const std::string& prefix = "mdm-root-");
  ~TemporaryRoot();
  TemporaryRoot(const TemporaryRoot&) = delete;
  TemporaryRoot& operator=(const TemporaryRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void Keep();

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
  bool keep_ = false;
};

// Removes the folders of every TemporaryRoot still alive and not kept; for a program that is
// stopped by a signal and so never reaches their destructors. Call it from an ordinary thread.
void RemoveTemporaryRoots();

}  // namespace platform
