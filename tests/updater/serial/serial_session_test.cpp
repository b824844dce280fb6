#include "updater/serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "platform/win32/debug.h"
#include "platform/win32/inprocess_port.h"
#include "platform/win32/objects.h"
#include "tests/support/comm_session.h"
#include "tests/support/recording_device.h"
#include "tests/support/virtual_time.h"

namespace {

using platform::clock::Milliseconds;
using platform::win32::InProcessPort;
using testing_support::VirtualTime;

DWORD FlagWord(const DCB& dcb) {
  DWORD word;
  std::memcpy(&word, reinterpret_cast<const BYTE*>(&dcb) + 8, sizeof(word));
  return word;
}

void SetFlagWord(DCB& dcb, DWORD word) {
  std::memcpy(reinterpret_cast<BYTE*>(&dcb) + 8, &word, sizeof(word));
}

using testing_support::RecordingDevice;

class SerialSession : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::StartCommSession();
    port = InProcessPort::Create("COM3");
    sink = std::make_shared<RecordingDevice>();
    port->SetDevice(sink);
  }
  void TearDown() override {
    testing_support::EndCommSession();
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore);
  }
  void Open(DWORD interval = 250) { commPortSession.port = OpenCommPort("COM3", interval); }
  void Reply(std::int64_t atMs, const std::string& text) {
    time.clock().Schedule(Milliseconds(atMs), [p = port, text] {
      p->Deliver(std::vector<BYTE>(text.begin(), text.end()));
    });
  }
  std::string Received(LONG count) {
    return std::string(reinterpret_cast<const char*>(ModemReplyBuffer), static_cast<size_t>(count));
  }

  VirtualTime time;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  platform::win32::debug::Capture debug;
  std::shared_ptr<InProcessPort> port;
  std::shared_ptr<RecordingDevice> sink;
};

TEST_F(SerialSession, OpeningAMissingPortLeavesTheSessionClosed) {
  commPortSession.port = OpenCommPort("COM4", 250);
  EXPECT_EQ(commPortSession.port, nullptr);
  EXPECT_FALSE(commPortSession.lineSettingsSaved);
  EXPECT_FALSE(commPortSession.timeoutsSaved);
  EXPECT_EQ(ReadFromComm(ModemReplyBuffer, 10, 5000), 0);
  EXPECT_EQ(time.NowMs(), 0);  // no port: no wait
  WriteToComm(reinterpret_cast<const BYTE*>("x"), 1);
  EXPECT_TRUE(sink->received.empty());
  EXPECT_EQ(debug.Text(), "");
}

TEST_F(SerialSession, OpenAppliesTheLineSettingsPulsesDtrAndPurges) {
  Open(2000);
  ASSERT_NE(commPortSession.port, nullptr);
  auto state = port->Snapshot();
  EXPECT_EQ(state.dcb.BaudRate, 56000u);
  EXPECT_EQ(state.dcb.ByteSize, 8);
  EXPECT_EQ(state.dcb.Parity, NOPARITY);
  EXPECT_EQ(state.dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(state.dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(state.dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_TRUE(state.dtr);
  EXPECT_EQ(state.inQueue, 4096u);
  EXPECT_EQ(state.outQueue, 4096u);
  EXPECT_EQ(state.timeouts.ReadIntervalTimeout, 2000u);
  EXPECT_EQ(state.timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(state.purges, std::vector<DWORD>{15});

  // DTR drops for exactly 100 ms after the queues are set up.
  std::vector<std::string> order;
  platform::clock::Time dropped{}, raised{};
  for (const auto& action : state.actions) {
    if (action.what == "CLRDTR") dropped = action.at;
    if (action.what == "SETDTR") raised = action.at;
    order.push_back(action.what);
  }
  EXPECT_EQ(raised - dropped, Milliseconds(100));
  std::vector<std::string> expected = {"open",   "line settings", "SETDTR",   "setup 4096 4096",
                                       "CLRDTR", "SETDTR",        "timeouts", "purge 15"};
  EXPECT_EQ(order, expected);
}

TEST_F(SerialSession, WorkingFlagWordKeepsWhatTheUpdateDoesNotSet) {
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    DCB own = port->Snapshot().dcb;
    DWORD word = static_cast<DWORD>(random());
    SetFlagWord(own, word);
    own.BaudRate = 9600;
    port->ApplyState(own);
    Open();
    DWORD expected = (word & 0xFFFF0000u) | ((word & 0xA4D1u) | 0x2011u);
    ASSERT_EQ(FlagWord(port->Snapshot().dcb), expected) << std::hex << word;
    ASSERT_EQ(FlagWord(commPortSession.workingLineSettings), expected);
    CloseCommPort();
  }
}

TEST_F(SerialSession, CloseRestoresThePortsOwnSettingsAndCloseTwiceDoesNothing) {
  DCB own = port->Snapshot().dcb;
  own.BaudRate = 19200;
  own.ByteSize = 7;
  own.Parity = EVENPARITY;
  own.StopBits = TWOSTOPBITS;
  own.fOutxCtsFlow = 1;
  own.fRtsControl = RTS_CONTROL_DISABLE;
  port->ApplyState(own);
  COMMTIMEOUTS ownTimeouts{10, 20, 30, 40, 50};
  port->StoreTimeouts(ownTimeouts);

  Open();
  CloseCommPort();
  auto state = port->Snapshot();
  EXPECT_EQ(std::memcmp(&state.dcb, &own, sizeof(DCB)), 0);
  EXPECT_EQ(std::memcmp(&state.timeouts, &ownTimeouts, sizeof(COMMTIMEOUTS)), 0);
  EXPECT_FALSE(state.open);
  EXPECT_EQ(commPortSession.port, nullptr);
  auto actions = state.actions.size();
  CloseCommPort();
  EXPECT_EQ(port->Snapshot().actions.size(), actions);

  // The next open reads the port's settings anew.
  own.BaudRate = 2400;
  port->ApplyState(own);
  Open();
  EXPECT_EQ(commPortSession.savedLineSettings.BaudRate, 2400u);
}

TEST_F(SerialSession, ReadWithoutAnswerTimesOutAndTheCloseAbandonsIt) {
  Open();
  EXPECT_EQ(ReadFromComm(ModemReplyBuffer, 4096, 10000), -1);
  EXPECT_EQ(time.NowMs(), 100 + 10000);  // the DTR pulse, then the caller's wait
  EXPECT_EQ(debug.Text(), "READ TIMEOUT\n");
  CloseCommPort();
  EXPECT_EQ(WaitForSingleObject(commPortSession.readEvent, 0), WAIT_OBJECT_0);
}

TEST_F(SerialSession, AShortReplyCountsOnlyItsOwnBytes) {
  Open();
  Reply(200, "a long first answer");
  LONG first = ReadFromComm(ModemReplyBuffer, 4096, 10000);
  EXPECT_EQ(Received(first), "a long first answer");
  Reply(1000, "OK");
  LONG second = ReadFromComm(ModemReplyBuffer, 4096, 10000);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(Received(second), "OK");
  EXPECT_EQ(ModemReplyBuffer[2], 'l');  // stale bytes of the earlier reply stay behind
}

TEST_F(SerialSession, WriteWaitsUntilTheDeviceHasTakenEveryByte) {
  Open();
  sink->room = 3;
  time.clock().Schedule(Milliseconds(500), [this] {
    sink->room = SIZE_MAX;
    port->TransmitReady();
  });
  WriteToComm(reinterpret_cast<const BYTE*>("ati9\r\n"), 6);
  EXPECT_EQ(sink->received, "ati9\r\n");
  EXPECT_EQ(time.NowMs(), 500);
  EXPECT_EQ(debug.Text(), "");
}

TEST_F(SerialSession, ADeviceThatVanishesFailsReadsAndWrites) {
  Open();
  time.clock().Schedule(Milliseconds(300), [p = port] { p->Vanish(); });
  EXPECT_EQ(ReadFromComm(ModemReplyBuffer, 4096, 10000), 0);
  EXPECT_EQ(debug.Text(), "GOT ERROR FROM READ FN\n");
  debug.Clear();
  WriteToComm(reinterpret_cast<const BYTE*>("x"), 1);
  EXPECT_EQ(debug.Text(), "WriteToComm() failed\n");
  debug.Clear();
  EXPECT_EQ(ReadFromComm(ModemReplyBuffer, 4096, 10000), 0);
  EXPECT_EQ(debug.Text(), "ReadFile() failed (1167)\n");
}

// A write the device has not taken in full when it ends: the caller learns nothing, the
// debugger output says how it ended.
class FailedWrite : public SerialSession {
 protected:
  void SetUp() override {
    SerialSession::SetUp();
    Open();
    sink->room = 2;  // takes "at" and then waits for room that never comes
  }
  void WriteCommand() { WriteToComm(reinterpret_cast<const BYTE*>("ati9\r\n"), 6); }
};

TEST_F(FailedWrite, APurgedWriteIsReportedAsAbortedAndShort) {
  auto start = time.NowMs();
  time.clock().Schedule(Milliseconds(start + 400),
                        [this] { EXPECT_TRUE(PurgeComm(commPortSession.port, PURGE_TXABORT)); });
  WriteCommand();
  EXPECT_EQ(time.NowMs() - start, 400);  // the write waited until the purge
  EXPECT_EQ(sink->received, "at");
  EXPECT_EQ(debug.Text(), "Write aborted\nError writing data to port (overlapped)\n");
}

TEST_F(FailedWrite, ADeviceThatVanishesDuringAWriteEndsItWithAnError) {
  auto start = time.NowMs();
  time.clock().Schedule(Milliseconds(start + 400), [p = port] { p->Vanish(); });
  WriteCommand();
  EXPECT_EQ(time.NowMs() - start, 400);
  EXPECT_EQ(sink->received, "at");
  EXPECT_EQ(debug.Text(), "Error writing data to port (overlapped)\n");
}

// "Write timed out. (overlapped)\n" needs a write that ends short without an error and a last
// error of 0. The session sets no write time-outs, so a write ends in full, aborted or failed,
// and a pending write leaves ERROR_IO_PENDING behind: the line cannot be provoked.

}  // namespace
