#include "links/links.h"
#include "links/names.h"

namespace mdmlinks {

bool GetGroupPath(PathBuffer& group) {
  LPITEMIDLIST programsList = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &programsList))) return false;
  const BOOL found = SHGetPathFromIDList(programsList, group);
  CoTaskMemFree(programsList);
  // Without the Programs folder there is no place for the group: a path built from nothing
  // would create or delete a folder somewhere else.
  if (!found || group[0] == '\0') return false;
  return EndWithSeparator(group) && AppendPath(group, kGroupName);
}

}  // namespace mdmlinks
