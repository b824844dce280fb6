#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "platform/win32/objects.h"
#include "platform/win32/windows.h"
#include "tests/support/virtual_time.h"

namespace {

using testing_support::VirtualTime;

// No more than the process maps now and 1 MiB: a thread's 8 MiB stack does not fit.
void LimitAddressSpaceToItsUseAndALittle() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  const rlim_t limit = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + (1u << 20);
  rlimit bound{limit, limit};
  ::setrlimit(RLIMIT_AS, &bound);
}

class Win32Sync : public ::testing::Test {
 protected:
  VirtualTime time;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  void TearDown() override { EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore); }
};

TEST_F(Win32Sync, AutoResetEventWakesOneWaitThenResets) {
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
  EXPECT_EQ(time.NowMs(), 100);
  CloseHandle(event);
}

TEST_F(Win32Sync, EventSetByAnotherThreadWakesTheWaiterAtThatTime) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        Sleep(20);
        SetEvent(static_cast<HANDLE>(parameter));
        return 7;
      },
      event, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(time.NowMs(), 20);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  CloseHandle(event);
}

// The stand-in's events are unnamed and its waits wait for any one object: a name or a wait for
// all is refused rather than half done. The deliverables use neither.
TEST_F(Win32Sync, NamedEventsAndWaitsForAllAreRefused) {
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "named"), nullptr);
  HANDLE events[2];
  for (HANDLE& event : events) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_FAILED);
  for (HANDLE event : events) CloseHandle(event);
}

// A thread blocked for 80 s is interrupted at once: its wait fails, it runs to its end, and
// TerminateThread returns with the thread gone and the given exit code.
TEST_F(Win32Sync, TerminateThreadInterruptsALongWait) {
  static std::atomic<DWORD> waitResult;
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        waitResult = WaitForSingleObject(static_cast<HANDLE>(parameter), 80000);
        Sleep(1000);  // every later wait fails at once too
        return 0;
      },
      event, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateThread(thread, 42));
  EXPECT_EQ(time.NowMs(), 5000);
  EXPECT_EQ(waitResult.load(), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 42u);
  CloseHandle(thread);
  CloseHandle(event);
}

// The host may refuse a thread (here no room is left for its stack): CreateThread fails as the
// platform's does, and the clock goes on without the thread that never started.
TEST_F(Win32Sync, AThreadTheHostRefusesFailsCreateThreadAndTimeGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own memory does not fit under an address-space limit";
#endif
  // A fresh process, with no stack of an ended thread kept for reuse.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LimitAddressSpaceToItsUseAndALittle();
        HANDLE thread = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
        const bool refused = thread == nullptr && GetLastError() == ERROR_NOT_ENOUGH_MEMORY;
        Sleep(1000);
        std::_Exit(refused && time.NowMs() == 1000 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Win32Sync, TickCountFollowsTheClock) {
  DWORD start = GetTickCount();
  Sleep(1234);
  EXPECT_EQ(GetTickCount() - start, 1234u);
}

}  // namespace
