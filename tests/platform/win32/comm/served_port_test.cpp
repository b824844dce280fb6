// A modem served by `mdmsim serve` on a pseudo-terminal, reached through the Win32 COM-port
// calls. Built twice and held to the same expectations: on Linux against the stand-in, which
// reads the lines from the platform root, and for Windows under Wine, whose port reaches the
// same terminal and whose lines come from the line library (tests/wine/wine_env.py runs both
// and names the port in MDM_TEST_PORT). Real time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/win32/windows.h"
#include "tests/platform/win32/win32_test.h"

namespace {

struct Request {
  Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(overlapped.hEvent); }
  OVERLAPPED overlapped{};
};

class ServedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("MDM_TEST_PORT");
    ASSERT_NE(name, nullptr) << "MDM_TEST_PORT names the served port";
    port_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << name << ": error " << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = 56000;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR));
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }

  void Write(const std::string& bytes) {
    Request write;
    DWORD done = 0;
    if (!WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                   &write.overlapped)) {
      ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
      ASSERT_TRUE(GetOverlappedResult(port_, &write.overlapped, &done, TRUE));
    }
    EXPECT_EQ(done, bytes.size());
  }

  // What arrives until `end` is in it or 25 reads (200 ms each at most) brought nothing. A read
  // ends 50 ms after its last byte; the bytes count even where Wine fails the read that timed out.
  std::string ReadUntil(const std::string& end) {
    COMMTIMEOUTS timeouts{50, 0, 200, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(port_, &timeouts));
    std::string got;
    for (int idle = 0; idle < 25 && got.find(end) == std::string::npos;) {
      Request read;
      char buffer[64];
      DWORD done = 0;
      if (!ReadFile(port_, buffer, sizeof buffer, &done, &read.overlapped) &&
          GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(port_, &read.overlapped, &done, TRUE);
      }
      got.append(buffer, done);
      idle = done == 0 ? idle + 1 : 0;
    }
    return got;
  }

  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(ServedPort, ModemAnswersItsIdentification) {
  Write("ati9\r\n");
  EXPECT_NE(ReadUntil("OK\r\n").find("OK\r\n"), std::string::npos);
}

TEST_F(ServedPort, ModemStatusShowsTheDeclaredLinesAndDtrAndRtsAreTaken) {
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(port_, &status)) << GetLastError();
  EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
  for (DWORD function : {CLRDTR, SETDTR, CLRRTS, SETRTS}) {
    EXPECT_TRUE(EscapeCommFunction(port_, function)) << function << ": " << GetLastError();
  }
}

// Lines that do not change leave a wait for line events pending; a new mask ends it with none.
TEST_F(ServedPort, LineWaitStaysPendingUntilANewMaskEndsIt) {
  ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_DSR | EV_RLSD));
  Request wait;
  DWORD events = 0xDEAD;
  ASSERT_FALSE(WaitCommEvent(port_, &events, &wait.overlapped)) << "ended at once: " << events;
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(wait.overlapped.hEvent, 300), WAIT_TIMEOUT);
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  ASSERT_EQ(WaitForSingleObject(wait.overlapped.hEvent, 5000), WAIT_OBJECT_0);
  DWORD done = 0;
  const BOOL succeeded = GetOverlappedResult(port_, &wait.overlapped, &done, FALSE);
  // The platform ends the wait with success and no event; Wine's fails it, aborted.
  if (!testing_support::UnderWine()) {
    EXPECT_TRUE(succeeded) << GetLastError();
  }
  EXPECT_EQ(events, 0u);
}

TEST_F(ServedPort, ReadTimeOutEndsTheReadWithTheBytesThatCame) {
  // Wine's serial read ends a time-out with STATUS_TIMEOUT, which its GetOverlappedResult takes
  // for a failure; the platform's serial driver ends it with a success status.
  if (testing_support::UnderWine()) GTEST_SKIP() << "Wine fails a read that times out";
  COMMTIMEOUTS timeouts{0, 0, 100, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  Request read;
  char buffer[16];
  DWORD done = 99;
  if (!ReadFile(port_, buffer, sizeof buffer, &done, &read.overlapped)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(GetOverlappedResult(port_, &read.overlapped, &done, TRUE)) << GetLastError();
  }
  EXPECT_EQ(done, 0u);
}

TEST_F(ServedPort, PortIsOpenedExclusively) {
  // Wine opens a COM port as often as asked; the platform gives it to one handle at a time.
  if (testing_support::UnderWine()) GTEST_SKIP() << "Wine opens a COM port twice";
  HANDLE second = CreateFileA(std::getenv("MDM_TEST_PORT"), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
}

// The updater's workers may still wait in a read when the port closes: the read ends, aborted.
TEST_F(ServedPort, ClosingThePortAbandonsAPendingRead) {
  COMMTIMEOUTS none{0, 0, 0, 0, 0};  // a read waits for all its bytes
  ASSERT_TRUE(SetCommTimeouts(port_, &none));
  Request read;
  char buffer[16];
  DWORD done = 0;
  ASSERT_FALSE(ReadFile(port_, buffer, sizeof buffer, &done, &read.overlapped));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  CloseHandle(port_);
  ASSERT_EQ(WaitForSingleObject(read.overlapped.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port_, &read.overlapped, &done, FALSE));
  // Wine ends it with STATUS_HANDLES_CLOSED (ERROR_HANDLES_CLOSED), the platform as cancelled.
  if (!testing_support::UnderWine()) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
  port_ = INVALID_HANDLE_VALUE;
}

}  // namespace
