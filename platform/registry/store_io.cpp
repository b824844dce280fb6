// The store's transactions: locking, noticing another process's change, reading and writing
// registry.reg.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/base/root.h"
#include "platform/registry/file_lock.h"
#include "platform/registry/regedit4.h"
#include "platform/registry/store.h"

namespace platform::registry {
namespace {

std::string Describe(const std::filesystem::path& path, const char* action) {
  return std::string("cannot ") + action + " " + path.string() + ": " + std::strerror(errno);
}

template <class FileId>
FileId IdOf(const struct stat& info) {
  FileId id;
  id.exists = true;
  id.device = info.st_dev;
  id.inode = info.st_ino;
  id.size = info.st_size;
  id.mtimeSeconds = info.st_mtim.tv_sec;
  id.mtimeNanoseconds = info.st_mtim.tv_nsec;
  return id;
}

// The folder the registry file lives in ("." for a bare file name).
std::filesystem::path FolderOf(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads to the end, or fails with EFBIG once the text passes `limit` bytes.
bool ReadAll(int fd, std::size_t limit, std::string& text) {
  char buffer[16384];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > limit) {
      errno = EFBIG;
      return false;
    }
  }
}

std::string TooLarge(const std::filesystem::path& path) {
  return path.string() + ": larger than the registry's limit of " +
         std::to_string(Store::kMaxFileSize >> 20) + " MiB";
}

// A writer's temporary file: "." + the registry file's name + "." + six characters of mkstemp.
bool IsTemporaryOf(const std::string& name, const std::string& fileName) {
  const std::string prefix = "." + fileName + ".";
  return name.size() == prefix.size() + 6 && name.starts_with(prefix);
}

// The file a chain of symbolic links ends at, which need not exist yet; `file` itself when it
// is no link.
std::filesystem::path LinkTarget(std::filesystem::path file, std::error_code& error) {
  constexpr int kMaxHops = 40;  // as many as the kernel follows
  for (int hop = 0; hop < kMaxHops; ++hop) {
    const auto status = std::filesystem::symlink_status(file, error);
    if (status.type() == std::filesystem::file_type::not_found) error.clear();
    if (error || !std::filesystem::is_symlink(status)) return file;
    std::filesystem::path link = std::filesystem::read_symlink(file, error);
    if (error) return file;
    file = link.is_absolute() ? link : FolderOf(file) / link;
  }
  error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
  return file;
}

// Under the exclusive lock no writer is between mkstemp and rename, so every temporary file
// left in the folder belongs to a writer that was killed there.
void RemoveStaleTemporaries(const std::filesystem::path& file) {
  std::error_code error;
  const std::string fileName = file.filename().string();
  std::filesystem::directory_iterator entry(FolderOf(file), error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    std::error_code ignored;  // one that cannot be removed must not stop the write
    if (IsTemporaryOf(entry->path().filename().string(), fileName)) {
      std::filesystem::remove(entry->path(), ignored);
    }
  }
}

}  // namespace

Store::Store(std::filesystem::path file, std::chrono::milliseconds lockTimeout)
    : file_(std::move(file)), lockTimeout_(lockTimeout) {
  lockFile_ = file_;
  lockFile_.replace_extension(".lock");
}

Store::~Store() {
  ForgetLocked();
}

void Store::Forget() {
  std::lock_guard lock(mutex_);
  ForgetLocked();
}

void Store::ForgetLocked() {
  if (loadedFd_ >= 0) ::close(loadedFd_);
  loadedFd_ = -1;
  loaded_.reset();
  tree_ = Tree();
  damage_ = Status::Ok();
}

Status Store::Read(const std::function<Status(const Tree&)>& operation) {
  std::lock_guard guard(mutex_);
  FileLock lock;
  Status status = lock.Acquire(lockFile_, false, lockTimeout_);
  // A lock file that cannot be opened (a read-only root without one, or no root yet) is read
  // past: writers replace registry.reg by renaming, so any version read is whole.
  if (lock.opened() && !status.ok()) return status;
  if (status = Refresh(); !status.ok()) return status;
  return operation(tree_);
}

Status Store::Write(const std::function<Status(Tree&, bool& changed)>& operation) {
  std::lock_guard guard(mutex_);
  std::error_code error;
  std::filesystem::create_directories(FolderOf(file_), error);
  if (error) {
    return Status::Fail(Error::kCantWrite,
                        "cannot create " + FolderOf(file_).string() + ": " + error.message());
  }
  FileLock lock;
  Status status = lock.Acquire(lockFile_, true, lockTimeout_);
  if (!status.ok()) return status;
  // A damaged file is never replaced: Refresh reports the damage and nothing is written.
  if (status = Refresh(); !status.ok()) return status;
  bool changed = false;
  if (status = operation(tree_, changed); !status.ok() || !changed) return status;
  status = Save();
  // The tree now holds a change the file does not: read the file again next time.
  if (!status.ok()) loaded_.reset();
  return status;
}

// Under the lock file's lock: reads registry.reg again when it is not the version loaded.
Status Store::Refresh() {
  struct stat info {};
  FileId id;
  if (::stat(file_.c_str(), &info) == 0) {
    id = IdOf<FileId>(info);
  } else if (errno != ENOENT) {
    return Status::Fail(Error::kCantRead, Describe(file_, "read"));
  }
  if (loaded_ && *loaded_ == id) return damage_;
  if (!id.exists) {
    ForgetLocked();
    loaded_ = id;
    return Status::Ok();
  }
  return Load();
}

// Only a regular file of at most kMaxFileSize bytes is read: O_NONBLOCK keeps the open of a FIFO
// from waiting for a writer, and the size is checked again while reading, for a file that grows.
Status Store::Load() {
  int fd = ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  std::string text;
  Status failure;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    // A process without a descriptor left is told so, not that the file cannot be read.
    const bool noDescriptor = errno == EMFILE || errno == ENFILE;
    failure = Status::Fail(noDescriptor ? Error::kTooManyOpenFiles : Error::kCantRead,
                           Describe(file_, "read"));
  } else if (!S_ISREG(info.st_mode)) {
    failure = Status::Fail(Error::kCantRead, file_.string() + ": not a regular file");
  } else if (info.st_size > kMaxFileSize) {
    failure = Status::Fail(Error::kCantRead, TooLarge(file_));
  } else if (!ReadAll(fd, static_cast<std::size_t>(kMaxFileSize), text)) {
    failure =
        Status::Fail(Error::kCantRead, errno == EFBIG ? TooLarge(file_) : Describe(file_, "read"));
  }
  if (!failure.ok()) {
    if (fd >= 0) ::close(fd);
    return failure;
  }
  ForgetLocked();
  damage_ = ParseRegedit4(text, file_.string(), tree_);
  // Nothing of a damaged file is used, so that no half-read registry is ever written back.
  if (!damage_.ok()) tree_ = Tree();
  loadedFd_ = fd;
  loaded_ = IdOf<FileId>(info);
  return damage_;
}

// Under the exclusive lock: writes the tree to a temporary file in the same folder and renames
// it over registry.reg, so that readers see either the old or the new version, whole. A
// registry.reg that is a symbolic link is written through, as an editor would: the link's
// target is replaced and the link stays.
Status Store::Save() {
  std::error_code error;
  std::filesystem::path target = LinkTarget(file_, error);
  if (error) {
    return Status::Fail(Error::kCantWrite,
                        "cannot follow " + file_.string() + ": " + error.message());
  }
  RemoveStaleTemporaries(target);
  return SaveTo(target);
}

// The file and the rename are made durable, except in a scratch root (a simulation's temporary
// root), which nobody needs after a crash of the machine.
Status Store::SaveTo(const std::filesystem::path& target) {
  const std::string text = FormatRegedit4(tree_);
  if (text.size() > static_cast<std::size_t>(kMaxFileSize)) {
    return Status::Fail(Error::kCantWrite, "the change would make " + TooLarge(file_));
  }
  const bool durable = !std::filesystem::exists(FolderOf(file_) / platform::kScratchMarker);
  std::string temp = FolderOf(target) / ("." + target.filename().string() + ".XXXXXX");
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return Status::Fail(Error::kCantWrite, Describe(temp, "create"));
  struct stat info {};
  if (::fchmod(fd, 0644) != 0 || !WriteAll(fd, text) || (durable && ::fsync(fd) != 0) ||
      ::fstat(fd, &info) != 0 || ::rename(temp.c_str(), target.c_str()) != 0) {
    Status failure = Status::Fail(Error::kCantWrite, Describe(file_, "write"));
    ::close(fd);
    ::unlink(temp.c_str());
    return failure;
  }
  // Make the rename itself durable.
  if (int dir = durable ? ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
      dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  // The written descriptor now names registry.reg; renaming changed nothing fstat reported.
  if (loadedFd_ >= 0) ::close(loadedFd_);
  loadedFd_ = fd;
  loaded_ = IdOf<FileId>(info);
  return Status::Ok();
}

}  // namespace platform::registry
