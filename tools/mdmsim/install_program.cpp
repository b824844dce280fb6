#include "tools/mdmsim/install_program.h"

#include <filesystem>

#include "platform/base/root.h"

namespace mdmsim {

void ProvideInstallProgram() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path windows = platform::Root() / "Windows";
  fs::path link = windows / "MDMINST.EXE";
  if (fs::exists(fs::symlink_status(link, error))) return;
  fs::path ours = fs::read_symlink("/proc/self/exe", error).parent_path() / "mdminst";
  if (error || !fs::exists(ours, error)) return;
  fs::create_directories(windows, error);
  fs::create_symlink(ours, link, error);
}

}  // namespace mdmsim
