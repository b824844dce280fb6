#include <string>

#include "links/links.h"
#include "links/names.h"
#include "platform/shell/fileapi.h"

namespace mdmlinks {
namespace {

// Deletes one entry of the group unless its name begins with "." ("." and ".." and any other
// dot-named file stay). A sub-folder is passed on too; DeleteFileA refuses it.
void DeleteEntry(const PathBuffer& group, const WIN32_FIND_DATAA& entry) {
  if (entry.cFileName[0] == '.') return;
  PathBuffer path;
  if (!CopyPath(path, group) || !AppendPath(path, kSeparator) ||
      !AppendPath(path, entry.cFileName)) {
    return;  // a name that does not fit names no file of the group
  }
  OutputDebugStringA((std::string("Delete: ") + path + "\n").c_str());
  DeleteFileA(path);
}

}  // namespace

void RemoveGroup() {
  PathBuffer group;
  if (!GetGroupPath(group)) return;
  PathBuffer pattern;
  if (CopyPath(pattern, group) && AppendPath(pattern, kAllFiles)) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteEntry(group, entry);
      } while (FindNextFileA(search, &entry));
      FindClose(search);
    }
  }
  RemoveDirectoryA(group);  // goes only when empty by now
}

}  // namespace mdmlinks
