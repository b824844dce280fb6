// The sender's step when the answer it is handed cannot be had, and when its state is none of
// the transfer's: what it tells the debugger output, what it sends and which event it sets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/debug.h"
#include "platform/win32/inprocess_port.h"
#include "platform/win32/objects.h"
#include "tests/support/comm_session.h"
#include "tests/support/recording_device.h"
#include "tests/support/virtual_time.h"
#include "updater/serial/serial.h"
#include "updater/zmodem/zmodem.h"

namespace {

using platform::clock::Milliseconds;
using platform::win32::InProcessPort;

constexpr DWORD kAnswerLength = 21;  // what the sender reads of each answer

// Hex headers written out by hand: ZPAD ZPAD ZDLE ZHEX, type and P0..P3 as hex digits, the
// CRC-16/XMODEM of those five bytes, CR, LF with the top bit, and XON except after ZFIN.
const std::string kZAbort =
    "**\x18"
    "B070000000067d4\r\x8a\x11";
const std::string kZFin =
    "**\x18"
    "B0800000000022d\r\x8a";
const std::string kZRinit =
    "**\x18"
    "B0100000000aa51\r\x8a\x11";

class SenderStep : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::StartCommSession();
    ZFailEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ZResponseEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    port = InProcessPort::Create("COM3");
    port->SetDevice(sink);
    commPortSession.port = OpenCommPort("COM3", 2000);
    ASSERT_NE(commPortSession.port, nullptr);
    ResetZModemContext();
  }
  void TearDown() override {
    testing_support::EndCommSession();
    for (HANDLE* event : {&ZFailEvent, &ZResponseEvent}) {
      CloseHandle(*event);
      *event = nullptr;
    }
    ResetZModemContext();
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore);
  }
  // A read of one answer that times out: its request stays outstanding with no byte count.
  void ReadThatTimesOut() {
    ASSERT_EQ(ReadFromComm(ModemReplyBuffer, kAnswerLength, 6000), -1);
    ASSERT_EQ(commPortSession.lastReadCount, 0u);
    debug.Clear();
  }
  bool Failed() { return WaitForSingleObject(ZFailEvent, 0) == WAIT_OBJECT_0; }

  testing_support::VirtualTime time;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  platform::win32::debug::Capture debug;
  std::shared_ptr<InProcessPort> port;
  std::shared_ptr<testing_support::RecordingDevice> sink =
      std::make_shared<testing_support::RecordingDevice>();
};

TEST_F(SenderStep, AnAnswerWhoseCountCannotBeHadAbortsTheTransfer) {
  ReadThatTimesOut();
  zmodemContext.state = 1;
  ZMSender();
  EXPECT_EQ(debug.Text(), "GetOverLappedResult() failed (996)\n");  // ERROR_IO_INCOMPLETE
  EXPECT_EQ(sink->received, kZAbort);
  EXPECT_TRUE(Failed());
}

TEST_F(SenderStep, AModemThatVanishedBeforeItsAnswerAbortsTheTransfer) {
  time.clock().Schedule(Milliseconds(time.NowMs() + 300), [p = port] { p->Vanish(); });
  ASSERT_EQ(ReadFromComm(ModemReplyBuffer, kAnswerLength, 6000), 0);
  debug.Clear();
  zmodemContext.state = 3;
  ZMSender();
  // The abort itself cannot reach the modem any more.
  EXPECT_EQ(debug.Text(),
            "GetOverLappedResult() failed (1167)\n"  // ERROR_DEVICE_NOT_CONNECTED
            "WriteToComm() failed\n");
  EXPECT_TRUE(sink->received.empty());
  EXPECT_TRUE(Failed());
}

// An answer that completes the read after the read call gave up is still taken: its byte count
// comes from the request the session kept.
TEST_F(SenderStep, AnAnswerThatArrivesAfterTheReadGaveUpIsStillTaken) {
  ReadThatTimesOut();
  port->Deliver(std::vector<BYTE>(kZRinit.begin(), kZRinit.end()));
  zmodemContext.state = 5;
  ZMSender();
  EXPECT_EQ(sink->received, kZFin);
  EXPECT_EQ(zmodemContext.state, 6);
  EXPECT_EQ(debug.Text().find("GetOverLappedResult"), std::string::npos);
}

TEST_F(SenderStep, AStateOutsideTheTransferIsReportedAndNothingElseHappens) {
  for (LONG state : {0, 7, -1}) {
    SCOPED_TRACE(state);
    zmodemContext.state = state;
    ZMSender();
    EXPECT_EQ(debug.Text(), "ZMSender: wrong state\nTO DO!!!!!!\n");
    EXPECT_EQ(zmodemContext.state, state);
    EXPECT_TRUE(sink->received.empty());
    EXPECT_FALSE(Failed());
    EXPECT_EQ(WaitForSingleObject(ZResponseEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    debug.Clear();
  }
}

}  // namespace
