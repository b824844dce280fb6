// CreateDirectoryA, RemoveDirectoryA and DeleteFileA on the host's file system, with the
// platform's refusals and error codes.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/shell/fileapi.h"
#include "platform/shell/host_files.h"
#include "platform/win32/files.h"

namespace {

using platform::win32::HostPath;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL Succeed() {
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool Missing(LPCSTR path) {
  return path == nullptr || *path == '\0';
}

// The error of a failed lstat: a missing file or folder, a file on the way, or the host's word.
DWORD StatError(int error, const std::string& host) {
  if (error == ENOENT) return platform::shell::MissingError(host);
  if (error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return platform::win32::ErrorFromErrno(error);
}

}  // namespace

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  if (Missing(path)) return Fail(ERROR_PATH_NOT_FOUND);
  const std::string host = HostPath(path);
  if (::mkdir(host.c_str(), 0777) == 0) return Succeed();
  switch (errno) {
    case EEXIST:
      return Fail(ERROR_ALREADY_EXISTS);
    case ENOENT:
    case ENOTDIR:
      return Fail(ERROR_PATH_NOT_FOUND);
    default:
      return Fail(platform::win32::ErrorFromErrno(errno));
  }
}

BOOL RemoveDirectoryA(LPCSTR path) {
  if (Missing(path)) return Fail(ERROR_PATH_NOT_FOUND);
  const std::string host = HostPath(path);
  struct stat info {};
  if (::lstat(host.c_str(), &info) != 0) {
    return Fail(StatError(errno, host));
  }
  if (!S_ISDIR(info.st_mode)) return Fail(ERROR_DIRECTORY);
  if (::rmdir(host.c_str()) == 0) return Succeed();
  if (errno == ENOTEMPTY || errno == EEXIST) return Fail(ERROR_DIR_NOT_EMPTY);
  return Fail(platform::win32::ErrorFromErrno(errno));
}

BOOL DeleteFileA(LPCSTR path) {
  if (Missing(path)) return Fail(ERROR_PATH_NOT_FOUND);
  const std::string host = HostPath(path);
  struct stat info {};
  if (::lstat(host.c_str(), &info) != 0) {
    return Fail(StatError(errno, host));
  }
  // A folder is no file, and the read-only attribute protects a file from deletion.
  if (S_ISDIR(info.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0) return Fail(ERROR_ACCESS_DENIED);
  if (::unlink(host.c_str()) == 0) return Succeed();
  return Fail(platform::win32::ErrorFromErrno(errno));
}
