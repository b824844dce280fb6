// CreateFileA for ordinary files (COM port names go to the comm stand-in), and the host-side
// helpers it shares with the file mapping and the runtime's _open.
#include "platform/win32/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform/win32/comm.h"

namespace platform::win32 {
namespace {

constexpr DWORD kErrorDiskFull = 112;  // ERROR_DISK_FULL

// With O_CREAT|O_EXCL the host refuses to follow a link or reuse a file, so trying that first
// tells reliably whether this call created the file.
int OpenExisting(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) return -1;
  struct stat info {};
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  if (writing && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      (info.st_mode & S_IWUSR) == 0) {
    ::close(fd);
    errno = EACCES;  // the platform's read-only attribute holds for every user
    return -1;
  }
  return fd;
}

bool FolderExists(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return true;
  std::error_code error;
  return std::filesystem::is_directory(parent, error);
}

// ENOENT means a missing file, or a missing folder on the way to it.
DWORD OpenError(int error, const std::string& path) {
  if (error == ENOENT && !FolderExists(path)) return ERROR_PATH_NOT_FOUND;
  return ErrorFromErrno(error);
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Host open flags for a request; a disposition that truncates needs a writable descriptor even
// when the caller asked only to read.
int HostAccess(DWORD access, DWORD disposition) {
  const bool read = (access & GENERIC_READ) != 0;
  const bool write = (access & GENERIC_WRITE) != 0 || disposition == CREATE_ALWAYS;
  if (read && write) return O_RDWR;
  return write ? O_WRONLY : O_RDONLY;
}

// Refuses everything but regular files: folders (the host opens them for reading), pipes and
// devices, whose reads may never end or never come. Then takes the sharing lock.
DWORD Claim(int fd, DWORD shareMode) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return ErrorFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;
  const int lock = (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (::flock(fd, lock) != 0) {
    return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

}  // namespace

File::~File() {
  ::close(fd_);
}

bool IsCommPortName(const char* name) {
  return !CanonicalCommName(name).empty();
}

std::string HostPath(const char* name) {
  std::string path(name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

int OpenHostFile(const std::string& path, const HostOpenRequest& request, bool& created) {
  created = false;
  const int flags = request.flags | O_CLOEXEC | O_NOCTTY;
  // A file deleted between the two attempts is created on the next round.
  for (int round = 0; round < 3; ++round) {
    if (request.create) {
      int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, request.mode);
      if (fd >= 0) {
        created = true;
        return fd;
      }
      if (errno != EEXIST || request.exclusive) return -1;
    }
    int fd = OpenExisting(path, flags);
    if (fd >= 0 || errno != ENOENT || !request.create) return fd;
  }
  return -1;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
      return kErrorDiskFull;
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace platform::win32

using namespace platform::win32;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (fileName == nullptr || *fileName == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  if (IsCommPortName(fileName)) {
    return OpenCommPort(fileName, desiredAccess, shareMode, flagsAndAttributes);
  }
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // Truncating an existing file is writing to it.
  if (creationDisposition == TRUNCATE_EXISTING && (desiredAccess & GENERIC_WRITE) == 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::string path = HostPath(fileName);
  const bool create = creationDisposition == CREATE_NEW || creationDisposition == CREATE_ALWAYS ||
                      creationDisposition == OPEN_ALWAYS;
  // Without O_NONBLOCK opening a pipe waits for its other end; Claim refuses it once open.
  const HostOpenRequest request{HostAccess(desiredAccess, creationDisposition) | O_NONBLOCK, create,
                                creationDisposition == CREATE_NEW, 0666};
  bool created = false;
  int fd = OpenHostFile(path, request, created);
  if (fd < 0) return Fail(OpenError(errno, path));
  auto file = std::make_shared<File>(fd, desiredAccess);
  if (DWORD error = Claim(fd, shareMode); error != ERROR_SUCCESS) return Fail(error);
  // Truncation waits for the lock, so that a refused open leaves the file as it was.
  const bool truncate = creationDisposition == TRUNCATE_EXISTING ||
                        (creationDisposition == CREATE_ALWAYS && !created);
  if (truncate && ::ftruncate(fd, 0) != 0) return Fail(ErrorFromErrno(errno));
  HANDLE handle = InsertHandle(std::move(file));
  const bool reopened =
      !created && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  SetLastError(reopened ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

namespace platform::win32 {

DWORD AttributesOf(const struct stat& info) {
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

FILETIME FileTimeOf(const struct timespec& time) {
  constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
  const long long seconds = static_cast<long long>(time.tv_sec) + kSecondsFrom1601To1970;
  if (seconds < 0) return {0, 0};
  const auto ticks = static_cast<unsigned long long>(seconds) * 10000000ULL + time.tv_nsec / 100;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace platform::win32

BOOL GetFileAttributesExA(LPCSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  using namespace platform::win32;
  if (fileName == nullptr || information == nullptr || level != GetFileExInfoStandard) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat info {};
  std::string path = HostPath(fileName);
  if (::stat(path.c_str(), &info) != 0) {
    SetLastError(errno == ENOENT && !FolderExists(path) ? ERROR_PATH_NOT_FOUND
                                                        : ErrorFromErrno(errno));
    return FALSE;
  }
  auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  data->dwFileAttributes = AttributesOf(info);
  data->ftCreationTime = FileTimeOf(info.st_mtim);  // the host keeps no creation time here
  data->ftLastAccessTime = FileTimeOf(info.st_atim);
  data->ftLastWriteTime = FileTimeOf(info.st_mtim);
  auto size = static_cast<std::uint64_t>(info.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  return TRUE;
}
