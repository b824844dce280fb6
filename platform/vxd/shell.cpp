#include "platform/vxd/shell.h"

#include <cstring>
#include <mutex>

#include "platform/clock/clock.h"

namespace platform::vxd::shell {
namespace {

struct Shell {
  std::mutex mutex;
  std::vector<Launch> launches;
  std::function<void(const Launch&)> launcher;
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
