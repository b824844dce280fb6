// The runtime's _open/_write/_close: text-mode translation, appending, creation rights.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {
namespace {

constexpr int kAppendFlags = _O_WRONLY | _O_APPEND | _O_CREAT;

class CrtIoTest : public TempFolderTest {
 protected:
  // Writes `text` through a descriptor opened with `flags`; returns _write's result.
  int WriteWith(const std::string& name, int flags, const std::string& text) {
    int fd = _open(Path(name).c_str(), flags, _S_IREAD | _S_IWRITE);
    EXPECT_GE(fd, 0) << name;
    int result = _write(fd, text.data(), static_cast<unsigned>(text.size()));
    EXPECT_EQ(_close(fd), 0);
    return result;
  }
};

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

// What is written to a FIFO nobody reads would be lost: its open is refused until a reader
// comes, and then the reader gets the bytes.
TEST_F(CrtIoTest, FifoOpensForWritingOnlyWhileSomebodyReadsIt) {
  constexpr int kLogFlags = _O_RDWR | _O_APPEND | _O_CREAT | _O_TEXT;
  ASSERT_EQ(::mkfifo(Path("update.log").c_str(), 0600), 0);
  EXPECT_EQ(_open(Path("update.log").c_str(), kLogFlags, _S_IWRITE), -1);
  EXPECT_EQ(errno, ENXIO);

  int reader = ::open(Path("update.log").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(WriteWith("update.log", kLogFlags, "log\n"), 4);
  char got[8] = {};
  EXPECT_EQ(::read(reader, got, sizeof got), 5);
  EXPECT_STREQ(got, "log\r\n");
  ::close(reader);
}

TEST_F(CrtIoTest, FileCreatedWithoutWritePermissionIsReadOnlyAfterwards) {
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
