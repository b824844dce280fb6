// The serial session talking to a simulated modem on an in-process port.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/inprocess_port.h"
#include "sim/modem/serial_modem.h"
#include "tests/support/comm_session.h"
#include "tests/support/virtual_time.h"
#include "updater/serial/serial.h"

namespace {

using namespace std::chrono_literals;
using testing_support::VirtualTime;

class ModemDialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::StartCommSession();
    port = platform::win32::InProcessPort::Create("COM3");
  }
  void TearDown() override { testing_support::EndCommSession(); }
  std::string Ask(const std::string& command, DWORD waitMs = 10000) {
    commPortSession.port = OpenCommPort("COM3", 250);
    WriteToComm(reinterpret_cast<const BYTE*>(command.data()), static_cast<LONG>(command.size()));
    LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, waitMs);
    CloseCommPort();
    return count > 0 ? std::string(reinterpret_cast<char*>(ModemReplyBuffer), count) : "";
  }

  VirtualTime time;
  std::shared_ptr<platform::win32::InProcessPort> port;
};

TEST_F(ModemDialogue, IdentificationComesBackThroughTheSession) {
  sim::modem::SerialModem::Attach(port);
  EXPECT_EQ(Ask("ati9\r\n"), "ati9\r\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n");
  // DTR pulse, 6 + 51 bytes on the line at 56000 baud (10 ms), answer delay, then the read
  // interval passes without a further byte.
  EXPECT_EQ(time.NowMs(), 100 + 10 + 20 + 250);
}

TEST_F(ModemDialogue, AnAnswerInTwoBurstsIsReadAsTheFirstBurstOnly) {
  sim::modem::SerialModem::Attach(port, {.burstGap = 400ms});
  EXPECT_EQ(Ask("ati9\r\n"), "ati9\r");
}

TEST_F(ModemDialogue, ASlowModemMissesTheWait) {
  sim::modem::SerialModem::Attach(port, {.answerDelay = 12s});
  EXPECT_EQ(Ask("ati9\r\n"), "");
  // A late answer is dropped with the port closed; the next question gets only its own answer.
  time.clock().Schedule(time.clock().Now() + 5s, [] {});
  Sleep(5000);
  port->SetDevice(nullptr);
  sim::modem::SerialModem::Attach(port);
  EXPECT_EQ(Ask("at@d\r\n"), "at@d\r\r\n>>>");
}

}  // namespace
