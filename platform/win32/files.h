// Ordinary files of the Win32 stand-in: the File object behind a CreateFileA handle, and the
// host-side helpers that CreateFileA, the file mapping and the runtime's _open share.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/win32/objects.h"

namespace platform::win32 {

// An open host file. The platform's sharing rules are kept with flock on the descriptor, so
// they hold between handles of this process and other processes alike; the lock goes with the
// descriptor when the last reference to it (a handle, a mapping) is gone.
class File final : public Object {
 public:
  File(int fd, DWORD access) : fd_(fd), access_(access) {}
  ~File() override;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const { return fd_; }
  bool CanRead() const { return (access_ & GENERIC_READ) != 0; }
  bool CanWrite() const { return (access_ & GENERIC_WRITE) != 0; }

 private:
  int fd_;
  DWORD access_;
};

// Whether a name passed to CreateFileA names a COM port rather than a file: "COM1".."COM255"
// or "\\.\COM1".."\\.\COM255", in any case.
bool IsCommPortName(const char* name);

// The host path for a platform path: backslashes become slashes; nothing else changes.
std::string HostPath(const char* name);

// How OpenHostFile opens a file.
struct HostOpenRequest {
  int flags;       // O_RDONLY, O_WRONLY or O_RDWR, with O_APPEND if wanted
  bool create;     // create the file when it is missing
  bool exclusive;  // fail with EEXIST when it exists
  mode_t mode;     // permissions of a created file
};

// Opens (or creates) a host file with O_CLOEXEC; returns the descriptor, or -1 with errno set.
// `created` tells whether this call created the file. The read-only attribute of the platform
// is the owner's write bit: opening an existing file without it for writing fails with EACCES
// even where the host would allow it (as root).
int OpenHostFile(const std::string& path, const HostOpenRequest& request, bool& created);

// Folder, archive (every file) and read-only (no owner write bit).
DWORD AttributesOf(const struct stat& info);
// 100 ns units since 1601-01-01, as the platform counts time; 0 for times before that.
FILETIME FileTimeOf(const struct timespec& time);

// The platform's error code for a host errno value.
DWORD ErrorFromErrno(int error);

}  // namespace platform::win32
