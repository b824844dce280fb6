#include "platform/vxd/shell.h"

#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/base/root.h"
#include "platform/clock/clock.h"

extern char** environ;

namespace platform::vxd::shell {
namespace {

struct Shell {
  std::mutex mutex;
  std::vector<Launch> launches;
  std::function<void(const Launch&)> launcher = StartFromWindowsDirectory;
};

Shell& TheShell() {
  static Shell shell;
  return shell;
}

// The NUL-terminated string at `offset` inside the packet; false when it does not end inside.
bool Text(const SHEXPACKET* packet, DWORD offset, std::string& out) {
  out.clear();
  if (offset == 0) return true;
  if (offset < sizeof(SHEXPACKET) || offset >= packet->dwTotalSize) return false;
  const char* base = reinterpret_cast<const char*>(packet);
  const void* end = std::memchr(base + offset, '\0', packet->dwTotalSize - offset);
  if (end == nullptr) return false;
  out.assign(base + offset, static_cast<const char*>(end));
  return true;
}

}  // namespace

std::vector<Launch> Launches() {
  std::lock_guard lock(TheShell().mutex);
  return TheShell().launches;
}

void ClearLaunches() {
  std::lock_guard lock(TheShell().mutex);
  TheShell().launches.clear();
}

void SetLauncher(std::function<void(const Launch&)> launcher) {
  std::lock_guard lock(TheShell().mutex);
  TheShell().launcher = std::move(launcher);
}

void StartFromWindowsDirectory(const Launch& launch) {
  std::error_code error;
  std::filesystem::path program;
  for (const auto& entry : std::filesystem::directory_iterator(Root() / "Windows", error)) {
    if (strcasecmp(entry.path().filename().c_str(), launch.file.c_str()) == 0) {
      program = entry.path();
      break;
    }
  }
  if (program.empty()) return;
  std::string path = program.string();
  std::string parameters = launch.parameters;
  char* argv[] = {path.data(), parameters.empty() ? nullptr : parameters.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return;
  // Nobody waits for the program; this only collects its exit status when it ends.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

}  // namespace platform::vxd::shell

DWORD _SHELL_ShellExecute(SHEXPACKET* packet) {
  using namespace platform::vxd::shell;
  if (packet == nullptr || packet->dwSize != sizeof(SHEXPACKET) ||
      packet->dwTotalSize < sizeof(SHEXPACKET)) {
    return 0;
  }
  Launch launch;
  launch.show = packet->nCmdShow;
  if (!Text(packet, packet->ibOp, launch.verb) || !Text(packet, packet->ibFile, launch.file) ||
      !Text(packet, packet->ibParams, launch.parameters) ||
      !Text(packet, packet->ibDir, launch.directory) || launch.file.empty()) {
    return 0;
  }
  std::function<void(const Launch&)> launcher;
  {
    std::lock_guard lock(TheShell().mutex);
    TheShell().launches.push_back(launch);
    launcher = TheShell().launcher;
  }
  if (launcher) {
    platform::clock::Clock& clock = platform::clock::Current();
    clock.Schedule(clock.Now(), [launcher, launch] { launcher(launch); });
  }
  return SHELL_SHELLEXECUTE_OK;
}
