// FindFirstFileA, FindNextFileA and FindClose. A search reads its folder once when it starts and
// then hands out the matching entries one by one, so that the caller may delete what it finds.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/shell/fileapi.h"
#include "platform/shell/host_files.h"
#include "platform/win32/files.h"

namespace platform::shell {
namespace {

class FileSearch final : public win32::Object {
 public:
  explicit FileSearch(std::vector<WIN32_FIND_DATAA> entries) : entries_(std::move(entries)) {}

  bool Next(WIN32_FIND_DATAA& data) {
    if (next_ >= entries_.size()) return false;
    data = entries_[next_++];
    return true;
  }

 private:
  std::vector<WIN32_FIND_DATAA> entries_;
  std::size_t next_ = 0;
};

char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// "*" matches any run of characters, "?" any one; letters match in either case, as the
// platform's file names do.
bool Glob(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// A pattern ending in ".*" also matches names without a dot, so "*.*" matches every name.
bool Matches(std::string_view pattern, std::string_view name) {
  if (Glob(pattern, name)) return true;
  return pattern.ends_with(".*") && name.find('.') == std::string_view::npos &&
         Glob(pattern.substr(0, pattern.size() - 2), name);
}

// The find data of one entry; false when the entry vanished or its name does not fit.
bool Describe(const std::string& folder, const std::string& name, WIN32_FIND_DATAA& data) {
  if (name.size() >= MAX_PATH) return false;
  const std::string path = folder + name;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0) return false;
  data = WIN32_FIND_DATAA{};
  data.dwFileAttributes = AttributesOf(info);
  data.ftCreationTime = FileTimeOf(info.st_mtim);  // the host keeps no creation time here
  data.ftLastAccessTime = FileTimeOf(info.st_atim);
  data.ftLastWriteTime = FileTimeOf(info.st_mtim);
  const auto size = static_cast<unsigned long long>(info.st_size);
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
  std::memcpy(data.cFileName, name.c_str(), name.size() + 1);
  return true;
}

// The names in a host folder: "." and ".." first, as the platform lists them, then the others
// in byte order so that every run sees the same order.
DWORD ListFolder(const std::string& folder, std::vector<std::string>& names) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) {
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
    return win32::ErrorFromErrno(errno);
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  names.insert(names.begin(), {".", ".."});
  return ERROR_SUCCESS;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace platform::shell

using platform::shell::FileSearch;

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  using namespace platform::shell;
  namespace win32 = platform::win32;
  if (pattern == nullptr || data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string_view text(pattern);
  const std::size_t cut = text.find_last_of("\\/");
  const std::string folder = cut == std::string_view::npos
                                 ? "./"
                                 : win32::HostPath(std::string(text.substr(0, cut + 1)).c_str());
  const std::string_view names = cut == std::string_view::npos ? text : text.substr(cut + 1);
  if (names.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  std::vector<std::string> listed;
  if (DWORD error = ListFolder(folder, listed); error != ERROR_SUCCESS) return Fail(error);
  std::vector<WIN32_FIND_DATAA> entries;
  for (const std::string& name : listed) {
    WIN32_FIND_DATAA entry;
    if (Matches(names, name) && Describe(folder, name, entry)) entries.push_back(entry);
  }
  if (entries.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  auto search = std::make_shared<FileSearch>(std::move(entries));
  search->Next(*data);
  HANDLE handle = win32::InsertHandle(std::move(search));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  auto object = platform::win32::Lookup<FileSearch>(search);
  if (!object) return FALSE;
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!object->Next(*data)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

// Only a search handle is closed here; any other handle is refused and stays open.
BOOL FindClose(HANDLE search) {
  if (!platform::win32::Lookup<FileSearch>(search)) return FALSE;
  return CloseHandle(search);
}
