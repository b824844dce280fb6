// SetCommMask, GetCommMask and WaitCommEvent on an in-process COM port, in virtual time: the
// test plays the device, changing the modem lines and delivering bytes at chosen times.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/clock/clock.h"
#include "platform/win32/inprocess_port.h"
#include "platform/win32/objects.h"
#include "platform/win32/windows.h"
#include "tests/support/recording_device.h"
#include "tests/support/virtual_time.h"

namespace {

using platform::clock::Milliseconds;
using platform::win32::InProcessPort;
using testing_support::RecordingDevice;
using testing_support::VirtualTime;

class CommEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    port = InProcessPort::Create("COM6");
    device = std::make_shared<RecordingDevice>();
    port->SetDevice(device);
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    CloseHandle(event);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore);
  }
  void Open(bool overlapped) {
    handle = CreateFileA("COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  }
  void Close() {
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  void LinesAt(std::int64_t ms, DWORD status) {
    time.clock().Schedule(Milliseconds(ms), [p = port, status] { p->SetModemStatus(status); });
  }
  void Deliver(const std::string& text) {
    port->Deliver(std::span(reinterpret_cast<const BYTE*>(text.data()), text.size()));
  }
  // Starts an overlapped wait; true when it is pending.
  bool StartWait() {
    request = OVERLAPPED{};
    request.hEvent = event;
    ResetEvent(event);
    events = 0xDEAD;
    if (WaitCommEvent(handle, &events, &request)) return false;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    return true;
  }
  // The events of the overlapped wait, once its event is set within `ms`; 0xDEAD otherwise.
  DWORD Completed(DWORD ms) {
    if (WaitForSingleObject(event, ms) != WAIT_OBJECT_0) return 0xDEAD;
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &request, &transferred, FALSE));
    return events;
  }

  VirtualTime time;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  std::shared_ptr<InProcessPort> port;
  std::shared_ptr<RecordingDevice> device;
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED request{};
  DWORD events = 0;
};

// ---------------------------------------------------------------------------------------------
// Waiting

TEST_F(CommEvents, BlockingWaitEndsWhenTheCarrierComesAndWhenItGoes) {
  Open(false);
  ASSERT_TRUE(SetCommMask(handle, EV_RLSD));
  LinesAt(40, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  LinesAt(300, MS_CTS_ON | MS_DSR_ON);
  DWORD got = 0;
  ASSERT_TRUE(WaitCommEvent(handle, &got, nullptr));
  EXPECT_EQ(got, EV_RLSD);
  EXPECT_EQ(time.NowMs(), 40);
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(handle, &status));
  EXPECT_NE(status & MS_RLSD_ON, 0u);

  ASSERT_TRUE(WaitCommEvent(handle, &got, nullptr));
  EXPECT_EQ(got, EV_RLSD);
  EXPECT_EQ(time.NowMs(), 300);
  ASSERT_TRUE(GetCommModemStatus(handle, &status));
  EXPECT_EQ(status & MS_RLSD_ON, 0u);
}

TEST_F(CommEvents, OverlappedWaitCompletesThroughItsEventWithTheLinesThatChanged) {
  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_CTS | EV_DSR | EV_RLSD));
  ASSERT_TRUE(StartWait());
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(handle, &request, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  LinesAt(25, MS_CTS_ON | MS_DSR_ON);  // two lines at once, the carrier unchanged
  EXPECT_EQ(Completed(1000), EV_CTS | EV_DSR);
  EXPECT_EQ(time.NowMs(), 25);
  EXPECT_EQ(transferred, 0u);
  EXPECT_TRUE(GetOverlappedResult(handle, &request, &transferred, FALSE));
  EXPECT_EQ(transferred, sizeof(DWORD));

  ASSERT_TRUE(StartWait());
  LinesAt(60, MS_DSR_ON);  // CTS drops: a change, too
  EXPECT_EQ(Completed(1000), EV_CTS);
}

TEST_F(CommEvents, NewMaskEndsThePendingWaitWithNoEvent) {
  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_RLSD));
  ASSERT_TRUE(StartWait());
  EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR));
  EXPECT_EQ(Completed(0), 0u);
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(handle, &mask));
  EXPECT_EQ(mask, EV_RXCHAR);
  // The next wait follows the new mask.
  ASSERT_TRUE(StartWait());
  Deliver("x");
  EXPECT_EQ(Completed(0), EV_RXCHAR);
}

TEST_F(CommEvents, EventsOutsideTheMaskNeitherWakeNorStay) {
  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_RLSD));
  ASSERT_TRUE(StartWait());
  Deliver("data");
  LinesAt(10, MS_CTS_ON | MS_DSR_ON);
  LinesAt(20, MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
  LinesAt(30, MS_CTS_ON | MS_DSR_ON);
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_TIMEOUT);
  LinesAt(6000, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  EXPECT_EQ(Completed(5000), EV_RLSD);  // nothing of what came before
}

TEST_F(CommEvents, ABlockedWaitIgnoresEventsOutsideTheMask) {
  Open(false);
  ASSERT_TRUE(SetCommMask(handle, EV_DSR));
  time.clock().Schedule(Milliseconds(10), [p = port] { p->Deliver(std::vector<BYTE>{'a'}); });
  LinesAt(20, MS_CTS_ON);
  LinesAt(70, MS_CTS_ON | MS_DSR_ON);
  DWORD got = 0;
  ASSERT_TRUE(WaitCommEvent(handle, &got, nullptr));
  EXPECT_EQ(got, EV_DSR);
  EXPECT_EQ(time.NowMs(), 70);
}

// ---------------------------------------------------------------------------------------------
// What happens between waits

TEST_F(CommEvents, EventsBetweenWaitsAreKeptForTheNextWait) {
  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR | EV_CTS));
  Deliver("ab");
  port->SetModemStatus(MS_CTS_ON);
  port->SetModemStatus(0);
  port->SetModemStatus(MS_DSR_ON);  // not chosen
  events = 0;
  OVERLAPPED record{};
  record.hEvent = event;
  EXPECT_TRUE(WaitCommEvent(handle, &events, &record));  // at once
  EXPECT_EQ(events, EV_RXCHAR | EV_CTS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  // Taken by that wait: the next one waits for something new.
  EXPECT_TRUE(StartWait());
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
}

TEST_F(CommEvents, NewMaskKeepsTheKeptEventsItStillChooses) {
  Open(false);
  port->SetModemStatus(MS_CTS_ON);  // before any mask: not kept
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR | EV_CTS | EV_DSR));
  Deliver("a");
  port->SetModemStatus(MS_CTS_ON | MS_DSR_ON);
  ASSERT_TRUE(SetCommMask(handle, EV_DSR | EV_CTS | EV_RLSD));
  DWORD got = 0;
  ASSERT_TRUE(WaitCommEvent(handle, &got, nullptr));
  EXPECT_EQ(got, EV_DSR);
  EXPECT_EQ(time.NowMs(), 0);
}

// ---------------------------------------------------------------------------------------------
// The end of a wait without an event

TEST_F(CommEvents, ClosingTheHandleEndsABlockedWait) {
  Open(false);
  ASSERT_TRUE(SetCommMask(handle, EV_RLSD | EV_RXCHAR));
  BOOL ok = TRUE;
  DWORD error = 0;
  std::int64_t endedAt = -1;
  auto waiter = platform::clock::Spawn("waiter", [&] {
    DWORD got = 0;
    ok = WaitCommEvent(handle, &got, nullptr);
    error = GetLastError();
    endedAt = time.NowMs();
  });
  Sleep(500);
  EXPECT_EQ(endedAt, -1);
  Close();
  platform::clock::Join(waiter);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(endedAt, 500);
}

TEST_F(CommEvents, ClosingTheHandleOrLosingTheDeviceEndsAPendingWait) {
  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_RLSD));
  ASSERT_TRUE(StartWait());
  Close();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(nullptr, &request, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(events, 0xDEADu);  // an ended wait reports no events

  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_RLSD));
  ASSERT_TRUE(StartWait());
  time.clock().Schedule(Milliseconds(30), [p = port] { p->Vanish(); });
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(handle, &request, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(WaitCommEvent(handle, &events, &request));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(CommEvents, WaitIsRefusedWithoutAMaskOrBesideAnotherWait) {
  Open(true);
  DWORD got = 0;
  OVERLAPPED record{};
  record.hEvent = event;
  EXPECT_FALSE(WaitCommEvent(handle, &got, &record));  // nothing chosen could end it
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetCommMask(handle, 0x2000));  // no such event
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(SetCommMask(handle, EV_CTS));
  EXPECT_FALSE(WaitCommEvent(handle, nullptr, &record));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WaitCommEvent(handle, &got, nullptr));  // an overlapped port needs the record
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(StartWait());
  OVERLAPPED second{};
  EXPECT_FALSE(WaitCommEvent(handle, &got, &second));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  port->SetModemStatus(MS_CTS_ON);
  EXPECT_EQ(Completed(0), EV_CTS);  // the first wait is unharmed
  EXPECT_FALSE(SetCommMask(INVALID_HANDLE_VALUE, EV_CTS));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------------------------
// The other events

TEST_F(CommEvents, RingIsReportedAtItsEnd) {
  Open(true);
  ASSERT_TRUE(SetCommMask(handle, EV_RING));
  ASSERT_TRUE(StartWait());
  LinesAt(100, MS_RING_ON);
  LinesAt(2100, 0);
  EXPECT_EQ(Completed(10000), EV_RING);
  EXPECT_EQ(time.NowMs(), 2100);
}

TEST_F(CommEvents, OutputEmptyEventCharacterAndLineErrors) {
  Open(true);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(handle, &dcb));
  dcb.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(handle, &dcb));
  ASSERT_TRUE(SetCommMask(handle, EV_TXEMPTY | EV_RXFLAG | EV_ERR | EV_BREAK));

  ASSERT_TRUE(StartWait());
  Deliver("no end yet");
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  Deliver("line\r\n");
  EXPECT_EQ(Completed(0), EV_RXFLAG);

  device->room = 2;
  OVERLAPPED write{};
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(handle, "hello", 5, &written, &write));
  ASSERT_TRUE(StartWait());
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // three bytes still to go
  device->room = SIZE_MAX;
  port->TransmitReady();
  EXPECT_EQ(Completed(0), EV_TXEMPTY);

  ASSERT_TRUE(StartWait());
  port->ReportLineErrors(CE_FRAME | CE_BREAK);
  EXPECT_EQ(Completed(0), EV_ERR | EV_BREAK);
  DWORD errors = 0;
  EXPECT_TRUE(ClearCommError(handle, &errors, nullptr));
  EXPECT_EQ(errors, CE_FRAME | CE_BREAK);
}

}  // namespace
