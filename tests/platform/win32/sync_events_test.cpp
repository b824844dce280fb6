// Events, waits and threads without time: Win32 only, so that the Windows build runs it under
// Wine too.
#include <gtest/gtest.h>

#include "platform/win32/windows.h"
#include "tests/platform/win32/win32_test.h"

namespace {

class Win32Events : public ::testing::Test {
 protected:
  std::size_t handlesBefore = testing_support::OpenHandles();
  void TearDown() override { EXPECT_EQ(testing_support::OpenHandles(), handlesBefore); }
};

TEST_F(Win32Events, ManualResetEventStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST_F(Win32Events, WaitAnyReportsLowestSignalledIndexAndLeavesTheOthers) {
  HANDLE events[3];
  for (HANDLE& event : events) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 50), WAIT_TIMEOUT);
  for (HANDLE event : events) CloseHandle(event);
}

TEST_F(Win32Events, ClosedOrUnknownHandlesFail) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_FALSE(CloseHandle(event));
}

// A thread is active until its function returns, its handle is signalled then, and its exit code
// is the function's result.
TEST_F(Win32Events, ThreadHandleIsSignalledWithTheExitCodeWhenItEnds) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        return WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE) == WAIT_OBJECT_0 ? 7
                                                                                              : 1;
      },
      go, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  CloseHandle(go);
}

}  // namespace
