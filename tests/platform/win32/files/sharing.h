// The fixture of the sharing tests: a file in a fresh folder, opened with a chosen share mode.
#pragma once

#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {

constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

inline HANDLE Open(const std::string& path, DWORD share, DWORD disposition = OPEN_EXISTING) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline bool Refused(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

class SharingTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    WriteHostFile("port.lock", "contents");
    path_ = Path("port.lock");
  }
  std::string path_;
};

}  // namespace files_test
