// Read-only mappings of whole files. A view is a private copy of the file's bytes, taken when it
// is mapped: the platform refuses to shrink a file that is mapped, while this host lets another
// program truncate it, and a shared mapping of the shrunk file would then fault on its next read.
// The copy holds the bytes as they were, and stays valid after the mapping and file handles
// close, as on the platform.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/win32/files.h"

namespace platform::win32 {
namespace {

class Mapping final : public Object {
 public:
  Mapping(std::shared_ptr<File> file, std::size_t size) : file_(std::move(file)), size_(size) {}
  const File& file() const { return *file_; }
  std::size_t size() const { return size_; }

 private:
  std::shared_ptr<File> file_;
  std::size_t size_;  // the file's size when the mapping was created
};

// Every mapped view's length by its base address, for UnmapViewOfFile.
struct Views {
  std::mutex mutex;
  std::unordered_map<const void*, std::size_t> lengths;
};

Views& AllViews() {
  static Views views;
  return views;
}

template <class T>
T* Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
}

// Reads bytes [from, to) of `fd` into `at` + from; false (errno set) when the file ends first.
bool ReadRange(char* at, int fd, off_t from, off_t to) {
  while (from < to) {
    ssize_t got = ::pread(fd, at + from, static_cast<std::size_t>(to - from), from);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = ENODATA;
      return false;
    }
    from += got;
  }
  return true;
}

// The first `length` bytes of the file `fd` into `view` (fresh zeroed memory), then made
// read-only. Only the file's data is read: its holes stay untouched zero pages, so a sparse
// image costs neither time nor memory. False (errno set, ENODATA when the file has shrunk below
// `length` meanwhile) when the bytes cannot all be had.
bool CopyInto(void* view, int fd, std::size_t length) {
  auto* at = static_cast<char*>(view);
  const auto end = static_cast<off_t>(length);
  for (off_t from = 0; from < end;) {
    off_t data = ::lseek(fd, from, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // a hole to the end
    if (data < 0) data = from;              // no holes known here: read it all
    if (data >= end) break;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    hole = hole < 0 || hole > end ? end : hole;
    if (!ReadRange(at, fd, data, hole)) return false;
    from = hole;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  if (info.st_size < end) {
    errno = ENODATA;
    return false;
  }
  return ::mprotect(view, length, PROT_READ) == 0;
}

}  // namespace
}  // namespace platform::win32

using namespace platform::win32;

HANDLE CreateFileMappingA(HANDLE fileHandle, LPSECURITY_ATTRIBUTES, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name) {
  // The programs map files to read them; nothing else is offered.
  if (protect != PAGE_READONLY || name != nullptr) return Fail<void>(ERROR_NOT_SUPPORTED);
  auto file = Lookup<File>(fileHandle);
  if (!file) return nullptr;
  if (!file->CanRead()) return Fail<void>(ERROR_ACCESS_DENIED);
  struct stat info {};
  if (::fstat(file->fd(), &info) != 0) return Fail<void>(ErrorFromErrno(errno));
  // The platform refuses to map an empty file, and a read-only mapping cannot grow its file.
  if (info.st_size == 0) return Fail<void>(ERROR_FILE_INVALID);
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);
  const std::uint64_t asked = (std::uint64_t{maximumSizeHigh} << 32) | maximumSizeLow;
  if (asked > fileSize) return Fail<void>(ERROR_NOT_ENOUGH_MEMORY);
  const auto size = static_cast<std::size_t>(asked == 0 ? fileSize : asked);
  return InsertHandle(std::make_shared<Mapping>(std::move(file), size));
}

LPVOID MapViewOfFile(HANDLE mappingHandle, DWORD desiredAccess, DWORD fileOffsetHigh,
                     DWORD fileOffsetLow, SIZE_T numberOfBytesToMap) {
  auto mapping = Lookup<Mapping>(mappingHandle);
  if (!mapping) return nullptr;
  if ((desiredAccess & FILE_MAP_WRITE) != 0) return Fail<void>(ERROR_ACCESS_DENIED);
  if (desiredAccess != FILE_MAP_READ) return Fail<void>(ERROR_INVALID_PARAMETER);
  if (fileOffsetHigh != 0 || fileOffsetLow != 0) return Fail<void>(ERROR_NOT_SUPPORTED);
  if (numberOfBytesToMap > mapping->size()) return Fail<void>(ERROR_INVALID_PARAMETER);
  const std::size_t length = numberOfBytesToMap == 0 ? mapping->size() : numberOfBytesToMap;
  void* view = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (view == MAP_FAILED) return Fail<void>(ERROR_NOT_ENOUGH_MEMORY);
  if (!CopyInto(view, mapping->file().fd(), length)) {
    DWORD error = errno == ENODATA ? ERROR_HANDLE_EOF : ErrorFromErrno(errno);
    ::munmap(view, length);
    return Fail<void>(error);
  }
  auto& views = AllViews();
  std::lock_guard lock(views.mutex);
  views.lengths.emplace(view, length);
  return view;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  std::size_t length = 0;
  {
    auto& views = AllViews();
    std::lock_guard lock(views.mutex);
    auto it = views.lengths.find(baseAddress);
    if (it == views.lengths.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);  // no view starts there
      return FALSE;
    }
    length = it->second;
    views.lengths.erase(it);
  }
  ::munmap(const_cast<void*>(baseAddress), length);
  return TRUE;
}
