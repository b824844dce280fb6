// The road of one command: "ati9\r\n" written by the serial port session reaches the simulated
// modem through the COM port, the serial-port driver, mdmcore and the host controller, and the
// answer comes back the same way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/vxd/vmm.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/verifier.h"
#include "tests/support/temp_root.h"
#include "tests/support/virtual_time.h"
#include "tools/mdmsim/rig.h"
#include "updater/serial/serial.h"

namespace {

class UsbChatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::vxd::ResetSystem();
    time_.emplace();
    world_.emplace();
    rig_.emplace(*world_);
    ASSERT_EQ(rig_->loadStatus(), STATUS_SUCCESS);
    commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }

  void TearDown() override {
    if (commPortSession.port != nullptr) CloseCommPort();
    CloseHandle(commPortSession.readEvent);
    CloseHandle(commPortSession.writeEvent);
    EXPECT_EQ(rig_->Shutdown(), STATUS_SUCCESS);
    EXPECT_EQ(platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding()),
              "pool: no block outstanding\n");
    rig_.reset();
    world_.reset();
    time_.reset();
    std::string all;
    for (const std::string& violation : recorder_.Violations()) all += violation + "\n";
    EXPECT_TRUE(all.empty()) << "driver verifier:\n" << all;
  }

  // Writes a command and returns the answer that one read brings.
  std::string Ask(const std::string& command, DWORD waitMs = 10000) {
    WriteToComm(reinterpret_cast<const BYTE*>(command.data()), static_cast<LONG>(command.size()));
    LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, waitMs);
    return count > 0 ? std::string(reinterpret_cast<char*>(ModemReplyBuffer), count) : "";
  }

  platform::wdm::verifier::Recorder recorder_;
  testing_support::TempRoot root_;  // MDM_ROOT for the test's platform root
  std::optional<testing_support::VirtualTime> time_;
  std::optional<sim::world::World> world_;
  std::optional<mdmsim::DriverRig> rig_;
};

TEST_F(UsbChatTest, Ati9ReachesTheModemAndItsAnswerComesBack) {
  mdmsim::RiggedModem* modem = rig_->AddModem("COM3", {mdmsim::SerialFor(0), u"USB Modem", true});
  ASSERT_NE(modem, nullptr);
  commPortSession.port = OpenCommPort("COM3", 250);
  ASSERT_NE(commPortSession.port, nullptr);
  EXPECT_TRUE(modem->port->attached());
  std::string answer = Ask("ati9\r\n");
  EXPECT_NE(answer.find("USB high power, bus-powered function"), std::string::npos) << answer;
  // The port settings reached the modem as commands: DTR on, the update's line rate.
  world_->Call([&] {
    EXPECT_TRUE(modem->device->line().dtr);
    EXPECT_EQ(modem->device->line().rate, 56000u);
    EXPECT_EQ(modem->device->line().format[1], 8);  // data bits, from record byte 16
    EXPECT_EQ(modem->device->rejectedPackets(), 0);
  });
  CloseCommPort();
  EXPECT_FALSE(modem->port->attached());
}

TEST_F(UsbChatTest, TwoModemsAnswerOnTheirOwnPorts) {
  ASSERT_NE(rig_->AddModem("COM3", {mdmsim::SerialFor(0), u"USB Modem", true}), nullptr);
  ASSERT_NE(
      rig_->AddModem("COM4", {mdmsim::SerialFor(1), u"USB Modem", true}, {.hasModemCode = false}),
      nullptr);
  commPortSession.port = OpenCommPort("COM4", 250);
  ASSERT_NE(commPortSession.port, nullptr);
  EXPECT_NE(Ask("ati9\r\n").find("USB no modem code"), std::string::npos);
  CloseCommPort();
  commPortSession.port = OpenCommPort("COM3", 250);
  ASSERT_NE(commPortSession.port, nullptr);
  EXPECT_NE(Ask("ati9\r\n").find("USB high power, bus-powered function"), std::string::npos);
  CloseCommPort();
}

}  // namespace
