// The runtime's _open/_write/_close: text-mode translation, appending, creation rights. Win32
// only: the Windows build runs it under Wine too.
#include <cerrno>
#include <ctime>
#include <string>

#include "tests/platform/win32/files/crt_io.h"

namespace files_test {
namespace {

TEST_F(CrtIoTest, TextModeWritesCrLfAndCountsTheCallersBytes) {
  EXPECT_EQ(WriteWith("default.log", _O_WRONLY | _O_CREAT, "a\nb\n\n"), 5);
  EXPECT_EQ(ReadHostFile("default.log"), "a\r\nb\r\n\r\n");
  EXPECT_EQ(WriteWith("binary.log", _O_WRONLY | _O_CREAT | _O_BINARY, "a\nb\n"), 4);
  EXPECT_EQ(ReadHostFile("binary.log"), "a\nb\n");

  std::string text;
  std::string expected;
  for (int i = 0; i < 3000; ++i) {  // longer than one translated piece
    text += "line\n";
    expected += "line\r\n";
  }
  EXPECT_EQ(WriteWith("long.log", _O_WRONLY | _O_CREAT | _O_TEXT, text),
            static_cast<int>(text.size()));
  EXPECT_EQ(ReadHostFile("long.log"), expected);
}

TEST_F(CrtIoTest, AppendingTwiceKeepsBothWritesAndTruncatingDropsOldOnes) {
  EXPECT_EQ(WriteWith("update.log", kAppendFlags, "first\n"), 6);
  EXPECT_EQ(WriteWith("update.log", kAppendFlags, "second\n"), 7);
  EXPECT_EQ(ReadHostFile("update.log"), "first\r\nsecond\r\n");
  EXPECT_EQ(WriteWith("update.log", _O_WRONLY | _O_TRUNC | _O_BINARY, "new"), 3);
  EXPECT_EQ(ReadHostFile("update.log"), "new");
}

TEST_F(CrtIoTest, MissingFolderAndExistingExclusiveFileFail) {
  EXPECT_EQ(_open(Path("no-folder/update.log").c_str(), kAppendFlags, _S_IWRITE), -1);
  EXPECT_EQ(errno, ENOENT);
  WriteHostFile("old.log", "old");
  EXPECT_EQ(_open(Path("old.log").c_str(), kAppendFlags | _O_EXCL, _S_IWRITE), -1);
  EXPECT_EQ(errno, EEXIST);
}

TEST_F(CrtIoTest, FileCreatedWithoutWritePermissionIsReadOnlyAfterwards) {
  if (UnderWine()) GTEST_SKIP() << "Wine run by root writes read-only files";
  int fd = _open(Path("ro.log").c_str(), _O_WRONLY | _O_CREAT, _S_IREAD);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(_write(fd, "ok", 2), 2);  // the creating descriptor may still write
  EXPECT_EQ(_close(fd), 0);
  EXPECT_EQ(_close(fd), -1);
  EXPECT_EQ(errno, EBADF);

  EXPECT_EQ(_open(Path("ro.log").c_str(), kAppendFlags, _S_IWRITE), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(ReadHostFile("ro.log"), "ok");
}

// localtime_s as the runtime gives it: the local time of a valid time, EINVAL and every field
// -1 for a null time.
TEST(CrtTime, LocalTimeOfAValidTimeAndEinvalForANullOne) {
  std::time_t epochDay = 86400;
  std::tm local{};
  ASSERT_EQ(localtime_s(&local, &epochDay), 0);
  EXPECT_EQ(local.tm_year, 70);
  EXPECT_EQ(localtime_s(&local, nullptr), EINVAL);
  EXPECT_EQ(local.tm_year, -1);
  EXPECT_EQ(local.tm_mday, -1);
}

}  // namespace
}  // namespace files_test
