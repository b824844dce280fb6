// The runtime's _open on a FIFO of the host, which the stand-in meets and the platform has not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/platform/win32/files/crt_io.h"

namespace files_test {
namespace {

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

}  // namespace
}  // namespace files_test
