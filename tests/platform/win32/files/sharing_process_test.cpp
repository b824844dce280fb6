// An exclusive handle keeps another process out: the stand-in keeps the sharing rules with flock,
// which a forked process must meet.
#include <sys/wait.h>
#include <unistd.h>

#include "tests/platform/win32/files/sharing.h"

namespace files_test {
namespace {

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
