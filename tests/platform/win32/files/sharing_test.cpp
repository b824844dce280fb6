// Exclusive opening (share mode 0) between handles of this process. Win32 only: the Windows
// build runs it under Wine too.
#include <cerrno>
#include <string>

#include "tests/platform/win32/files/sharing.h"

namespace files_test {
namespace {

TEST_F(SharingTest, ExclusiveHandleKeepsEveryOtherOpenOutUntilClosed) {
  HANDLE exclusive = Open(path_, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Refused(Open(path_, kShared)));
  EXPECT_TRUE(Refused(Open(path_, 0)));
  // A refused CREATE_ALWAYS must not truncate the file behind the owner's back.
  EXPECT_TRUE(Refused(Open(path_, kShared, CREATE_ALWAYS)));
  EXPECT_EQ(_open(path_.c_str(), _O_WRONLY | _O_APPEND), -1);
  EXPECT_EQ(errno, EACCES);
  CloseHandle(exclusive);
  EXPECT_EQ(ReadHostFile("port.lock"), "contents");  // read here: the handle kept readers out
  EXPECT_FALSE(Refused(Open(path_, kShared)));
}

TEST_F(SharingTest, AnyOpenHandleKeepsAnExclusiveOpenOut) {
  HANDLE first = Open(path_, kShared);
  HANDLE second = Open(path_, kShared);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Refused(Open(path_, 0)));
  CloseHandle(first);
  EXPECT_TRUE(Refused(Open(path_, 0)));
  CloseHandle(second);
  EXPECT_FALSE(Refused(Open(path_, 0)));
}

}  // namespace
}  // namespace files_test
