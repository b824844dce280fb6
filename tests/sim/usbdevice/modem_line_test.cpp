// The USB modem in a call, driven frame by frame as the host controller would: the line bits of
// its status packet (RI while ringing, DCD while connected, CTS under flow control), its result
// codes on the data-in pipe, and a DTR drop from the command pipe hanging up.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/modem/phone_line.h"
#include "sim/usbdevice/modem.h"
#include "tests/sim/modem/line_pair.h"
#include "tests/support/virtual_time.h"

namespace {

using namespace std::chrono_literals;
using sim::usbdevice::UsbModem;

class UsbModemCall : public ::testing::Test {
 protected:
  void SetUp() override {
    USB_DEFAULT_PIPE_SETUP_PACKET setup{0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0};
    ULONG transferred = 0;
    ASSERT_EQ(usb.Control(setup, nullptr, transferred), USBD_STATUS_SUCCESS);
    ASSERT_TRUE(usb.PlugIntoLine(line, "100"));
    ASSERT_TRUE(far.firmware.PlugIntoLine(line, "200"));
  }

  // The host's bytes in data-out packets of up to 62 bytes.
  void HostSends(const std::string& text) {
    for (std::size_t at = 0; at < text.size(); at += 62) {
      std::size_t count = std::min<std::size_t>(62, text.size() - at);
      std::vector<BYTE> packet(2 + count);
      packet[0] = outSequence;
      packet[1] = static_cast<BYTE>(count);
      std::memcpy(packet.data() + 2, text.data() + at, count);
      usb.IsoOut(0x06, 0, packet);
      outSequence = outSequence >= 254 ? 1 : outSequence + 1;
    }
  }
  void Command(std::vector<BYTE> command) {
    command.resize(32, 0);
    usb.BulkOut(0x04, command);
  }
  // One frame: the far modem does what is due, the host fetches a status packet and a data-in
  // packet. Returns the status packet's line bits.
  BYTE Frame() {
    platform::clock::SleepFor(1ms);
    far.Advance();
    BYTE status[8] = {};
    ULONG length = 0;
    usb.IsoIn(0x81, 0, status, length);
    BYTE data[64] = {};
    usb.IsoIn(0x85, 0, data, length);
    if (length > 0) heard.append(data + 1, data + 1 + data[0]);
    return status[6];
  }
  // Runs frames for `duration` and returns the line bits of each.
  std::vector<BYTE> Run(std::chrono::milliseconds duration) {
    std::vector<BYTE> bits;
    for (auto i = 0; i < duration.count(); ++i) bits.push_back(Frame());
    return bits;
  }
  // The first frame at or after `from` whose bits have (or, with on false, lack) the mask.
  static std::ptrdiff_t First(const std::vector<BYTE>& bits, BYTE mask, bool on,
                              std::size_t from = 0) {
    for (std::size_t i = from; i < bits.size(); ++i) {
      if (((bits[i] & mask) != 0) == on) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }

  testing_support::VirtualTime time;
  std::shared_ptr<sim::modem::PhoneLine> line = std::make_shared<sim::modem::PhoneLine>();
  UsbModem usb;
  testing_support::LineModem far;
  BYTE outSequence = 1;
  std::string heard;
};

TEST_F(UsbModemCall, StatusShowsRingWhileRingingAndCarrierWhileConnected) {
  HostSends("ATE0S0=2\r");
  far.Type("ATD100\r");
  std::vector<BYTE> bits = Run(12s);
  // RI from the first ring at 2 s for two seconds, again at 8 s when the modem answers at once;
  // DCD after the three seconds of handshake.
  EXPECT_NEAR(static_cast<double>(First(bits, UsbModem::kLineRing, true)), 2000, 2);
  EXPECT_NEAR(static_cast<double>(First(bits, UsbModem::kLineRing, false, 2100)), 4000, 2);
  EXPECT_EQ(First(bits, UsbModem::kLineRing, true, 4100), -1);
  EXPECT_NEAR(static_cast<double>(First(bits, UsbModem::kLineDcd, true)), 11000, 2);
  EXPECT_EQ(bits.back(), UsbModem::kLineCts | UsbModem::kLineDsr | UsbModem::kLineDcd);
  EXPECT_EQ(heard, "ATE0S0=2\r\r\nOK\r\n\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 33600\r\n");
  heard.clear();

  HostSends("over the line");
  far.Type("and back");
  Run(10ms);
  EXPECT_EQ(far.Take(), "ATD100\r\r\nCONNECT 33600\r\nover the line");
  EXPECT_EQ(heard, "and back");
  heard.clear();

  far.firmware.Reset();  // the far side hangs up
  bits = Run(2ms);
  EXPECT_FALSE(bits.back() & UsbModem::kLineDcd);
  EXPECT_EQ(heard, "\r\nNO CARRIER\r\n");
}

TEST_F(UsbModemCall, CtsFollowsTheTransmitBufferUnderRtsCtsFlowControl) {
  HostSends("ATE0S0=1\r");
  far.Type("ATD100\r");
  Run(5100ms);
  ASSERT_TRUE(usb.firmware().lineState().dcd);
  HostSends(std::string(1600, 'u'));  // above the high water mark in one frame
  std::vector<BYTE> bits = Run(400ms);
  EXPECT_FALSE(bits.front() & UsbModem::kLineCts);
  // Back at the low water mark: 1088 bytes later at the line rate.
  EXPECT_NEAR(static_cast<double>(First(bits, UsbModem::kLineCts, true)), 1088 * 10 / 33.6, 2);
}

TEST_F(UsbModemCall, DtrDropFromTheCommandPipeHangsUp) {
  Command({0x83, 0x02, 1, 1});
  HostSends("ATS0=1\r");
  far.Type("ATD100\r");
  Run(5100ms);
  ASSERT_NE(far.Take().find("CONNECT 33600"), std::string::npos);
  Command({0x83, 0x02, 0, 0});
  Run(2ms);
  EXPECT_EQ(far.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(usb.firmware().callState(), sim::modem::CallState::kIdle);
}

}  // namespace
