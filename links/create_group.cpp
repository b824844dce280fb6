#include "links/links.h"
#include "links/names.h"
#include "platform/shell/fileapi.h"

namespace mdmlinks {
namespace {

// The Windows directory with a trailing "\"; false when it cannot be had in full.
bool GetWindowsFolder(PathBuffer& windows) {
  const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  return EndWithSeparator(windows);
}

// One shortcut: folder + name, pointing at windows + target. A path that does not fit is not
// made at all rather than cut short.
void MakeShortcut(const PathBuffer& folder, LPCSTR name, const PathBuffer& windows, LPCSTR target,
                  LPCSTR description) {
  PathBuffer targetPath;
  PathBuffer linkPath;
  if (!CopyPath(targetPath, windows) || !AppendPath(targetPath, target)) return;
  if (!CopyPath(linkPath, folder) || !AppendPath(linkPath, name)) return;
  CreateLink(targetPath, linkPath, description);
}

}  // namespace

void CreateGroup() {
  PathBuffer group;
  if (!GetGroupPath(group)) return;
  CreateDirectoryA(group, nullptr);  // an existing folder is fine

  PathBuffer folder;
  const bool folderFits = CopyPath(folder, group) && AppendPath(folder, kSeparator);
  SHChangeNotify(SHCNE_MKDIR, SHCNF_PATHA, group, nullptr);

  PathBuffer windows;
  if (!folderFits || !GetWindowsFolder(windows)) return;
  // The second shortcut is made even when the first failed.
  MakeShortcut(folder, kUpdateLinkName, windows, kUpdateTarget, kUpdateDescription);
  MakeShortcut(folder, kUninstallLinkName, windows, kUninstallTarget, kUninstallDescription);
}

}  // namespace mdmlinks
