// ReadFile, WriteFile and GetFileSize. Files are read and written synchronously at their current
// position, or at the OVERLAPPED's offset when the caller passes one; a handle that is not a file
// goes to the comm stand-in, which knows COM ports and refuses everything else.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/win32/comm.h"
#include "platform/win32/files.h"
#include "platform/win32/sync.h"

namespace platform::win32 {
namespace {

std::shared_ptr<File> AsFile(HANDLE handle) {
  return std::dynamic_pointer_cast<File>(LookupObject(handle));
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The caller may pass an OVERLAPPED with a handle opened without FILE_FLAG_OVERLAPPED: the
// transfer has then completed when the call returns, and the platform reports it there too
// (under the clock's mutex, where GetOverlappedResult looks).
void CompleteOverlapped(OVERLAPPED* overlapped, DWORD bytes) {
  if (overlapped == nullptr) return;
  platform::clock::Clock& clock = platform::clock::Current();
  platform::clock::Lock lock(clock.Mutex());
  overlapped->Internal = ERROR_SUCCESS;
  overlapped->InternalHigh = bytes;
  if (overlapped->hEvent != nullptr) SetEventLocked(overlapped->hEvent);
  clock.Notify();
}

// A transfer with an OVERLAPPED starts at its offset, also on a handle opened without
// FILE_FLAG_OVERLAPPED, and leaves the file's position after it, as the platform's does.
bool SeekToOverlapped(int fd, const OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return true;
  const off_t offset =
      static_cast<off_t>((std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset);
  return ::lseek(fd, offset, SEEK_SET) == offset;
}

// Reads until `count` bytes or the end of the file; -1 with errno on a failure.
ssize_t ReadSome(int fd, BYTE* buffer, DWORD count) {
  DWORD done = 0;
  while (done < count) {
    ssize_t got = ::read(fd, buffer + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<DWORD>(got);
  }
  return done;
}

ssize_t WriteAll(int fd, const BYTE* bytes, DWORD count) {
  DWORD done = 0;
  while (done < count) {
    ssize_t put = ::write(fd, bytes + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return -1;
    done += static_cast<DWORD>(put);
  }
  return done;
}

}  // namespace
}  // namespace platform::win32

using namespace platform::win32;

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  auto file = AsFile(handle);
  if (!file) return CommReadFile(handle, buffer, bytesToRead, bytesRead, overlapped);
  if (bytesRead != nullptr) *bytesRead = 0;
  if ((buffer == nullptr && bytesToRead != 0) || (bytesRead == nullptr && overlapped == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!file->CanRead()) return Fail(ERROR_ACCESS_DENIED);
  if (!SeekToOverlapped(file->fd(), overlapped)) return Fail(ErrorFromErrno(errno));
  ssize_t done = ReadSome(file->fd(), static_cast<BYTE*>(buffer), bytesToRead);
  if (done < 0) return Fail(ErrorFromErrno(errno));
  if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(done);
  CompleteOverlapped(overlapped, static_cast<DWORD>(done));
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  auto file = AsFile(handle);
  if (!file) return CommWriteFile(handle, buffer, bytesToWrite, bytesWritten, overlapped);
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if ((buffer == nullptr && bytesToWrite != 0) ||
      (bytesWritten == nullptr && overlapped == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!file->CanWrite()) return Fail(ERROR_ACCESS_DENIED);
  if (!SeekToOverlapped(file->fd(), overlapped)) return Fail(ErrorFromErrno(errno));
  ssize_t done = WriteAll(file->fd(), static_cast<const BYTE*>(buffer), bytesToWrite);
  if (done < 0) return Fail(ErrorFromErrno(errno));
  if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(done);
  CompleteOverlapped(overlapped, static_cast<DWORD>(done));
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, LPDWORD fileSizeHigh) {
  auto file = Lookup<File>(handle);
  if (!file) return INVALID_FILE_SIZE;
  struct stat info {};
  if (::fstat(file->fd(), &info) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (fileSizeHigh != nullptr) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  // A size whose low part is INVALID_FILE_SIZE is told from a failure by the last error.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}
