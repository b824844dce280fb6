// The runtime's _open, _write and _close. Their descriptors are host descriptors; the runtime's
// own table remembers which of them are in text mode, where each LF goes out as CR LF.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/win32/files.h"

namespace platform::win32 {
namespace {

struct CrtFiles {
  std::mutex mutex;
  std::unordered_map<int, bool> textMode;  // by descriptor, for every open descriptor
};

CrtFiles& Files() {
  static CrtFiles files;
  return files;
}

int Fail(int error) {
  errno = error;
  return -1;
}

// What the flags ask for, or false for a combination the runtime refuses.
bool ToRequest(int openFlag, int permissionMode, HostOpenRequest& request) {
  constexpr int kKnown =
      _O_WRONLY | _O_RDWR | _O_APPEND | _O_CREAT | _O_TRUNC | _O_EXCL | _O_TEXT | _O_BINARY;
  const int access = openFlag & (_O_WRONLY | _O_RDWR);
  if ((openFlag & ~kKnown) != 0 || access == (_O_WRONLY | _O_RDWR)) return false;
  if ((openFlag & _O_TEXT) != 0 && (openFlag & _O_BINARY) != 0) return false;
  // Truncating is writing.
  if ((openFlag & _O_TRUNC) != 0 && access == _O_RDONLY) return false;
  request.flags = access == _O_WRONLY ? O_WRONLY : access == _O_RDWR ? O_RDWR : O_RDONLY;
  if ((openFlag & _O_APPEND) != 0) request.flags |= O_APPEND;
  request.create = (openFlag & _O_CREAT) != 0;
  request.exclusive = request.create && (openFlag & _O_EXCL) != 0;
  // Without _S_IWRITE the new file is read-only (for later opens; this one may still write).
  request.mode = (permissionMode & _S_IWRITE) != 0 ? 0666 : 0444;
  return true;
}

// Writes everything it can; returns how many bytes went out (errno set when short).
std::size_t WriteAll(int fd, const char* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t put = ::write(fd, bytes + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  }
  return done;
}

// How many of the caller's bytes went out whole when `written` translated bytes did.
unsigned CallerBytesIn(const char* bytes, unsigned count, std::size_t written) {
  std::size_t translated = 0;
  for (unsigned i = 0; i < count; ++i) {
    translated += bytes[i] == '\n' ? 2 : 1;
    if (translated > written) return i;
  }
  return count;
}

// Text mode: the caller's bytes go out in pieces, each with its LFs turned into CR LF.
int WriteText(int fd, const char* bytes, unsigned count) {
  constexpr unsigned kPiece = 4096;
  std::string out;
  unsigned done = 0;
  while (done < count) {
    const unsigned piece = std::min(count - done, kPiece);
    out.clear();
    for (unsigned i = 0; i < piece; ++i) {
      if (bytes[done + i] == '\n') out += '\r';
      out += bytes[done + i];
    }
    const std::size_t written = WriteAll(fd, out.data(), out.size());
    if (written < out.size()) {
      done += CallerBytesIn(bytes + done, piece, written);
      return done > 0 ? static_cast<int>(done) : -1;
    }
    done += piece;
  }
  return static_cast<int>(done);
}

// A FIFO opened for reading and writing never blocks, and what is written to it while nobody
// reads would be lost when it closes: a FIFO is opened for writing only, refused (ENXIO) while
// nobody reads it, and then written as a blocking one.
int OpenFifoForWriting(int fd, const std::string& path, int flags) {
  struct stat info {};
  if ((flags & O_ACCMODE) == O_RDONLY || ::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
    return fd;
  }
  ::close(fd);
  const int append = flags & O_APPEND;
  fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | append);
  if (fd >= 0) ::fcntl(fd, F_SETFL, append);
  return fd;
}

}  // namespace
}  // namespace platform::win32

using namespace platform::win32;

int _open(const char* fileName, int openFlag, int permissionMode) {
  HostOpenRequest request{};
  if (fileName == nullptr || !ToRequest(openFlag, permissionMode, request)) return Fail(EINVAL);
  bool created = false;
  const std::string path = HostPath(fileName);
  int fd = OpenHostFile(path, request, created);
  if (fd >= 0) fd = OpenFifoForWriting(fd, path, request.flags);
  if (fd < 0) return -1;
  // The runtime opens files shared for reading and writing: an exclusive CreateFileA handle
  // keeps it out, and it keeps an exclusive open out. The platform's sharing violation
  // reaches the caller as EACCES.
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return Fail(EACCES);
  }
  if ((openFlag & _O_TRUNC) != 0 && !created && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail(error);
  }
  auto& files = Files();
  std::lock_guard lock(files.mutex);
  files.textMode[fd] = (openFlag & _O_BINARY) == 0;  // text unless binary is asked for
  return fd;
}

int _write(int fd, const void* buffer, unsigned int count) {
  bool text = false;
  {
    auto& files = Files();
    std::lock_guard lock(files.mutex);
    auto it = files.textMode.find(fd);
    if (it == files.textMode.end()) return Fail(EBADF);
    text = it->second;
  }
  if (count == 0) return 0;
  if (buffer == nullptr || count > INT_MAX) return Fail(EINVAL);
  const auto* bytes = static_cast<const char*>(buffer);
  if (text) return WriteText(fd, bytes, count);
  const std::size_t written = WriteAll(fd, bytes, count);
  return written > 0 ? static_cast<int>(written) : -1;
}

int _close(int fd) {
  {
    auto& files = Files();
    std::lock_guard lock(files.mutex);
    if (files.textMode.erase(fd) == 0) return Fail(EBADF);
  }
  return ::close(fd) == 0 ? 0 : -1;
}

int localtime_s(std::tm* local, const std::time_t* time) {
  if (local == nullptr) return EINVAL;
  if (time == nullptr || localtime_r(time, local) == nullptr) {
    *local = std::tm{};
    for (int* field :
         {&local->tm_sec, &local->tm_min, &local->tm_hour, &local->tm_mday, &local->tm_mon,
          &local->tm_year, &local->tm_wday, &local->tm_yday, &local->tm_isdst}) {
      *field = -1;
    }
    return EINVAL;
  }
  return 0;
}
