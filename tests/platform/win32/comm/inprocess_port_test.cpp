#include "platform/win32/inprocess_port.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/objects.h"
#include "platform/win32/windows.h"
#include "tests/support/recording_device.h"
#include "tests/support/virtual_time.h"

namespace {

using platform::clock::Milliseconds;
using platform::win32::InProcessPort;
using testing_support::VirtualTime;

std::vector<BYTE> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

using testing_support::RecordingDevice;

class InProcessComm : public ::testing::Test {
 protected:
  void SetUp() override {
    port = InProcessPort::Create("COM7");
    device = std::make_shared<RecordingDevice>();
    port->SetDevice(device);
    handle = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    CloseHandle(event);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore);
  }
  void SetInterval(DWORD ms) {
    COMMTIMEOUTS timeouts{ms, 0, 0, 0, 0};
    SetCommTimeouts(handle, &timeouts);
  }
  void DeliverAt(std::int64_t ms, const std::string& text) {
    time.clock().Schedule(Milliseconds(ms), [p = port, text] { p->Deliver(Bytes(text)); });
  }
  // Starts an overlapped read; true when it is pending.
  bool StartRead(DWORD count) {
    request = OVERLAPPED{};
    request.hEvent = event;
    ResetEvent(event);
    DWORD got = 0;
    if (ReadFile(handle, buffer, count, &got, &request)) return false;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    return true;
  }

  VirtualTime time;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  std::shared_ptr<InProcessPort> port;
  std::shared_ptr<RecordingDevice> device;
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED request{};
  BYTE buffer[256] = {};
};

TEST_F(InProcessComm, ReadEndsWhenTheIntervalPassesAfterTheLastByte) {
  SetInterval(250);
  DeliverAt(10, "abc");
  DeliverAt(200, "de");
  ASSERT_TRUE(StartRead(100));
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(time.NowMs(), 450);
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(handle, &request, &got, FALSE));
  EXPECT_EQ(std::string(buffer, buffer + got), "abcde");
}

TEST_F(InProcessComm, ReadEndsAtOnceWhenItsCountHasArrived) {
  SetInterval(250);
  port->Deliver(Bytes("hello"));
  DWORD got = 0;
  OVERLAPPED record{};
  record.hEvent = event;
  EXPECT_TRUE(ReadFile(handle, buffer, 4, &got, &record));
  EXPECT_EQ(got, 4u);
  ASSERT_TRUE(StartRead(10));  // the fifth byte waits for the interval to end the read
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(time.NowMs(), 250);
  EXPECT_TRUE(GetOverlappedResult(handle, &request, &got, FALSE));
  EXPECT_EQ(got, 1u);
}

TEST_F(InProcessComm, ReadWithoutAByteNeverEndsByItselfAndAPurgeAbandonsIt) {
  SetInterval(250);
  ASSERT_TRUE(StartRead(10));
  EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_TIMEOUT);
  DWORD got = 0;
  EXPECT_FALSE(GetOverlappedResult(handle, &request, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_TRUE(PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(handle, &request, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(InProcessComm, DeviceVanishingFailsThePendingReadAndLaterRequests) {
  ASSERT_TRUE(StartRead(10));
  time.clock().Schedule(Milliseconds(30), [p = port] { p->Vanish(); });
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  DWORD got = 0;
  EXPECT_FALSE(GetOverlappedResult(handle, &request, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(handle, &status));
  OVERLAPPED again{};
  again.hEvent = event;
  EXPECT_FALSE(ReadFile(handle, buffer, 1, &got, &again));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(InProcessComm, WriteStaysPendingUntilTheDeviceTakesEveryByte) {
  device->room = 2;
  OVERLAPPED record{};
  record.hEvent = event;
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(handle, "hello", 5, &written, &record));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(device->received, "he");
  device->room = SIZE_MAX;
  port->TransmitReady();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(handle, &record, &written, FALSE));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(device->received, "hello");
}

TEST_F(InProcessComm, PortRecordsWhatTheApplicationDid) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(handle, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  dcb.BaudRate = 56000;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  EXPECT_TRUE(SetCommState(handle, &dcb));
  EXPECT_TRUE(EscapeCommFunction(handle, CLRDTR));
  EXPECT_TRUE(SetupComm(handle, 4096, 2048));
  EXPECT_TRUE(PurgeComm(handle, 15));
  dcb.ByteSize = 9;
  EXPECT_FALSE(SetCommState(handle, &dcb));
  EXPECT_FALSE(EscapeCommFunction(handle, 77));

  auto state = port->Snapshot();
  EXPECT_TRUE(state.open);
  EXPECT_EQ(state.dcb.BaudRate, 56000u);
  EXPECT_EQ(state.dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_FALSE(state.dtr);
  EXPECT_EQ(state.inQueue, 4096u);
  EXPECT_EQ(state.outQueue, 2048u);
  EXPECT_EQ(state.purges, std::vector<DWORD>{15});
}

// A port served for as long as a service runs: its record keeps the latest calls only.
TEST_F(InProcessComm, PortRecordStaysBoundedAndKeepsTheLatestCalls) {
  constexpr DWORD kPurges = 3 * InProcessPort::kKeptRecords;
  for (DWORD i = 0; i < kPurges; ++i) PurgeComm(handle, i & 15);
  auto state = port->Snapshot();
  EXPECT_EQ(state.purges.size(), InProcessPort::kKeptRecords);
  EXPECT_EQ(state.actions.size(), InProcessPort::kKeptRecords);
  EXPECT_EQ(state.purges.back(), (kPurges - 1) & 15);
  EXPECT_EQ(state.actions.back().what, "purge " + std::to_string((kPurges - 1) & 15));
}

TEST_F(InProcessComm, PortOpensOnceAndUnknownPortsDoNotOpen) {
  EXPECT_EQ(CreateFileA("\\\\.\\com7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  CloseHandle(handle);
  handle = CreateFileA("com7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE);
}

TEST_F(InProcessComm, ModemStatusShowsTheDeviceBitsOrFails) {
  port->SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
  DWORD status = 0;
  EXPECT_TRUE(GetCommModemStatus(handle, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
  port->SetModemStatusFails(true);
  EXPECT_FALSE(GetCommModemStatus(handle, &status));
}

// The device sees the room left in the receive queue, so that it can hold bytes back instead.
TEST_F(InProcessComm, OverflowingTheReceiveQueueLosesTheExcessAndSaysSo) {
  SetupComm(handle, 8, 8);
  EXPECT_EQ(port->ReceiveRoom(), 8u);
  port->Deliver(Bytes("012"));
  EXPECT_EQ(port->ReceiveRoom(), 5u);
  port->Deliver(Bytes("3456789"));
  EXPECT_EQ(port->ReceiveRoom(), 0u);
  DWORD errors = 0;
  COMSTAT stat{};
  EXPECT_TRUE(ClearCommError(handle, &errors, &stat));
  EXPECT_EQ(errors, CE_RXOVER);
  EXPECT_EQ(stat.cbInQue, 8u);
  EXPECT_TRUE(ClearCommError(handle, &errors, &stat));
  EXPECT_EQ(errors, 0u);
  ASSERT_FALSE(StartRead(5));  // the queued bytes complete the read at once
  EXPECT_EQ(port->ReceiveRoom(), 5u);
}

}  // namespace

namespace {

TEST_F(InProcessComm, FirstByteEndsAReadWhenIntervalAndMultiplierAreMaximal) {
  COMMTIMEOUTS timeouts{0xFFFFFFFF, 0xFFFFFFFF, 300, 0, 0};
  SetCommTimeouts(handle, &timeouts);
  ASSERT_TRUE(StartRead(10));
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(time.NowMs(), 300);  // nothing came: the constant ends the wait
  DeliverAt(350, "ab");
  ASSERT_TRUE(StartRead(10));
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(time.NowMs(), 350);
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(handle, &request, &got, FALSE));
  EXPECT_EQ(got, 2u);
}

}  // namespace
