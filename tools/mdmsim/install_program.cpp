#include "tools/mdmsim/install_program.h"

#include <filesystem>

#include "platform/base/root.h"

// Where an installed mdminst lies, relative to the folder of the installed programs (set by the
// build from the install folders; empty in a build that was not configured with them).
#ifndef MDM_INSTALL_PROGRAM_DIR
#define MDM_INSTALL_PROGRAM_DIR ""
#endif

namespace mdmsim {

namespace {

// Our mdminst: beside the running program (the build folder), else where the install put it.
std::filesystem::path FindInstallProgram() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path here = fs::read_symlink("/proc/self/exe", error).parent_path();
  if (error) return {};
  for (fs::path folder : {here, here / MDM_INSTALL_PROGRAM_DIR}) {
    fs::path candidate = (folder / "mdminst").lexically_normal();
    if (fs::is_regular_file(candidate, error)) return candidate;
  }
  return {};
}

}  // namespace

void ProvideInstallProgram() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path windows = platform::Root() / "Windows";
  fs::path link = windows / "MDMINST.EXE";
  if (fs::exists(fs::symlink_status(link, error))) return;
  fs::path ours = FindInstallProgram();
  if (ours.empty()) return;
  fs::create_directories(windows, error);
  fs::create_symlink(ours, link, error);
}

}  // namespace mdmsim
