// The special folders and the Windows directory, all inside the platform root, and the item ID
// lists that name them: one item holding the folder's platform path.
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/root.h"
#include "platform/shell/fileapi.h"
#include "platform/shell/shell_state.h"
#include "platform/win32/files.h"

namespace platform::shell {
namespace {

constexpr BYTE kPathItem = 0x31;  // first byte of an item that carries a file-system path

struct Folders {
  std::mutex mutex;
  std::map<int, std::string> placed;  // folders put elsewhere by SetSpecialFolder
};

Folders& TheFolders() {
  static Folders folders;
  return folders;
}

std::string ProgramsPath() {
  {
    std::lock_guard lock(TheFolders().mutex);
    auto it = TheFolders().placed.find(CSIDL_PROGRAMS);
    if (it != TheFolders().placed.end()) return it->second;
  }
  return PlatformPath(platform::Root() / "Start Menu" / "Programs");
}

// One path item and the terminating zero size, in task memory.
LPITEMIDLIST MakeIdList(const std::string& path) {
  const std::size_t itemBytes = sizeof(USHORT) + 1 + path.size() + 1;
  if (itemBytes > 0xFFFF) return nullptr;
  auto* bytes = static_cast<BYTE*>(CoTaskMemAlloc(itemBytes + sizeof(USHORT)));
  if (bytes == nullptr) return nullptr;
  const auto size = static_cast<USHORT>(itemBytes);
  std::memcpy(bytes, &size, sizeof size);
  bytes[sizeof(USHORT)] = kPathItem;
  std::memcpy(bytes + sizeof(USHORT) + 1, path.c_str(), path.size() + 1);
  std::memset(bytes + itemBytes, 0, sizeof(USHORT));
  return reinterpret_cast<LPITEMIDLIST>(bytes);
}

// The path an item ID list of MakeIdList carries, or nullopt for any other list.
std::optional<std::string> PathOf(LPCITEMIDLIST idList) {
  const auto* bytes = reinterpret_cast<const BYTE*>(idList);
  USHORT size = 0;
  std::memcpy(&size, bytes, sizeof size);
  if (size < sizeof(USHORT) + 2 || bytes[sizeof(USHORT)] != kPathItem) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(bytes + sizeof(USHORT) + 1);
  const std::size_t room = size - sizeof(USHORT) - 1;
  const std::size_t length = strnlen(text, room);
  if (length == room) return std::nullopt;
  return std::string(text, length);
}

}  // namespace

void SetSpecialFolder(int folder, std::optional<std::string> platformPath) {
  std::lock_guard lock(TheFolders().mutex);
  if (platformPath) {
    TheFolders().placed[folder] = std::move(*platformPath);
  } else {
    TheFolders().placed.erase(folder);
  }
}

std::string PlatformPath(const std::filesystem::path& hostPath) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(hostPath, error);
  std::string path = (error ? hostPath : absolute).string();
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace platform::shell

HRESULT SHGetSpecialFolderLocation(HWND, int folder, LPITEMIDLIST* idList) {
  if (idList == nullptr) return E_INVALIDARG;
  *idList = nullptr;
  if (folder != CSIDL_PROGRAMS) return E_INVALIDARG;
  const std::string path = platform::shell::ProgramsPath();
  std::error_code error;
  const std::filesystem::path host = platform::win32::HostPath(path.c_str());
  std::filesystem::create_directories(host, error);
  if (!std::filesystem::is_directory(host, error)) return E_FAIL;
  *idList = platform::shell::MakeIdList(path);
  return *idList != nullptr ? S_OK : E_OUTOFMEMORY;
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST idList, LPSTR path) {
  if (path == nullptr) return FALSE;
  path[0] = '\0';
  if (idList == nullptr) return FALSE;
  const std::optional<std::string> found = platform::shell::PathOf(idList);
  if (!found || found->empty() || found->size() >= MAX_PATH) return FALSE;
  std::memcpy(path, found->c_str(), found->size() + 1);
  return TRUE;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  const std::string path = platform::shell::PlatformPath(platform::Root() / "Windows");
  const auto needed = static_cast<UINT>(path.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  std::memcpy(buffer, path.c_str(), needed);
  return needed - 1;
}
