// Exclusive opening (share mode 0) between handles of this process and between processes.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {
namespace {

constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::string& path, DWORD share, DWORD disposition = OPEN_EXISTING) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Refused(HANDLE handle) {
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

TEST_F(SharingTest, ExclusiveHandleKeepsEveryOtherOpenOutUntilClosed) {
  HANDLE exclusive = Open(path_, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Refused(Open(path_, kShared)));
  EXPECT_TRUE(Refused(Open(path_, 0)));
  // A refused CREATE_ALWAYS must not truncate the file behind the owner's back.
  EXPECT_TRUE(Refused(Open(path_, kShared, CREATE_ALWAYS)));
  EXPECT_EQ(ReadHostFile("port.lock"), "contents");
  EXPECT_EQ(_open(path_.c_str(), _O_WRONLY | _O_APPEND), -1);
  EXPECT_EQ(errno, EACCES);
  CloseHandle(exclusive);
  EXPECT_FALSE(Refused(Open(path_, kShared)));
}

TEST_F(SharingTest, AnyOpenHandleKeepsAnExclusiveOpenOut) {
  HANDLE first = Open(path_, kShared);
  HANDLE second = Open(path_, FILE_SHARE_READ);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Refused(Open(path_, 0)));
  CloseHandle(first);
  EXPECT_TRUE(Refused(Open(path_, 0)));
  CloseHandle(second);
  EXPECT_FALSE(Refused(Open(path_, 0)));
}

TEST_F(SharingTest, AnotherProcessIsKeptOutByAnExclusiveHandle) {
  auto childRefused = [this] {
    pid_t pid = fork();
    if (pid == 0) _exit(Refused(Open(path_, kShared)) ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };
  HANDLE exclusive = Open(path_, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(childRefused());
  CloseHandle(exclusive);
  EXPECT_FALSE(childRefused());
}

}  // namespace
}  // namespace files_test
