// The program's own module: its file name is the path of the running executable.
#include <unistd.h>

#include <cstring>

#include "platform/win32/windows.h"

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // A name that does not fit is cut to size - 1 characters and still terminated.
  DWORD copied = static_cast<DWORD>(length) < size ? static_cast<DWORD>(length) : size - 1;
  std::memcpy(fileName, path, copied);
  fileName[copied] = '\0';
  if (copied < static_cast<DWORD>(length)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return copied;
}
