// An advisory lock (flock) on a lock file shared by every process that uses one registry file.
#pragma once

#include <chrono>
#include <filesystem>

#include "platform/registry/status.h"

namespace platform::registry {

class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens `path` (creating it when possible) and locks it, shared or exclusive. Another holder is
  // waited for up to `timeout` of wall time; this is file I/O between processes, so the
  // platform's clock has no say. Fails with Error::kLockViolation naming the lock file.
  Status Acquire(const std::filesystem::path& path, bool exclusive,
                 std::chrono::milliseconds timeout);

  // Whether the lock file could be opened (Acquire may still have timed out).
  bool opened() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform::registry
