#include "platform/registry/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace platform::registry {
namespace {

Status LockFailure(const std::filesystem::path& path, const std::string& what) {
  return Status::Fail(Error::kLockViolation, "cannot lock " + path.string() + ": " + what);
}

}  // namespace

FileLock::~FileLock() {
  // Closing the descriptor drops the lock.
  if (fd_ >= 0) ::close(fd_);
}

Status FileLock::Acquire(const std::filesystem::path& path, bool exclusive,
                         std::chrono::milliseconds timeout) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // A reader may lock a lock file it cannot write (flock needs no write access).
  if (fd_ < 0 && !exclusive) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return LockFailure(path, std::strerror(errno));

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(fd_, operation) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return LockFailure(path, std::strerror(errno));
    if (std::chrono::steady_clock::now() >= deadline) {
      return LockFailure(
          path, "still held by another process after " + std::to_string(timeout.count()) + " ms");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return Status::Ok();
}

}  // namespace platform::registry
