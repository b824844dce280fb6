// Whole update sessions through the driver stack in virtual time: the session's port list comes
// from the serial-port map the driver wrote, and the image travels through the COM port, the
// serial-port driver, mdmcore and the host controller into the simulated modem's flash.
#include <string>

#include "tests/e2e/usb_update_fixture.h"
#include "tests/support/session_log.h"
#include "tools/mdmsim/faults.h"

namespace {

using namespace session_log;

// The typical session: a plain port COM1 and one modem, which the driver binds to COM3. The log
// is the one the serial-level session writes, byte for byte.
TEST_F(UsbUpdateTest, TypicalSessionThroughUsbLogsExactlyAsAtTheSerialLevel) {
  mdmsim::UsbUpdate update;
  update.session.plainPorts = {"COM1"};
  update.session.imagePath = WriteImage("image.bin", 4096, 1);
  update.modems = {Modem(0)};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  EXPECT_EQ(result.log, std::string(kStarted) + kSearching +
                            "COM1,  ! USB_Modem\r\n\r\n"
                            "COM3, USB_Modem,  + Modem_Code\r\n\r\n" +
                            kSelect + Check("COM3") + kTransfer + kDone + kFinished);
  ASSERT_EQ(result.modems.size(), 1u);
  EXPECT_EQ(result.modems[0].port, "COM3");
  EXPECT_EQ(result.modems[0].serial, "0000A1B2C3D4");
  EXPECT_TRUE(result.modems[0].started);
  EXPECT_TRUE(result.modems[0].offered);
  EXPECT_TRUE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.driverStopped);
  EXPECT_EQ(result.poolReport, "pool: no block outstanding\n");
  EXPECT_TRUE(result.AllGood());
  EXPECT_GT(result.virtualMs, 0);
}

// Three modems take one image, the one without modem code (a bare boot loader) among them.
TEST_F(UsbUpdateTest, ThreeModemsTakeTheSameImageOneOfThemWithoutModemCode) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 8192, 2);
  update.modems = {Modem(0), Modem(1, false), Modem(2)};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  ASSERT_EQ(result.modems.size(), 3u);
  EXPECT_NE(result.log.find("COM4, USB_Modem,  - Modem_Code\r\n"), std::string::npos) << result.log;
  EXPECT_TRUE(result.log.ends_with(kFinished)) << result.log;
  EXPECT_TRUE(result.modems[0].holdsImage);
  EXPECT_EQ(result.modems[1].serial, "0000A1B2C3D5");
  EXPECT_TRUE(result.modems[1].holdsImage);
  EXPECT_TRUE(result.modems[2].holdsImage);
  EXPECT_EQ(result.modems[2].port, "COM5");
  EXPECT_TRUE(result.AllGood());
}

// With No to the same-image question each modem gets the file chosen for it: two modems, two
// different images, each in its own flash.
TEST_F(UsbUpdateTest, TwoModemsTakeTwoDifferentImagesWhenTheQuestionIsAnsweredNo) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("first.bin", 3000, 4);
  update.session.imageByPort["COM4"] = WriteImage("second.bin", 5000, 5);
  update.session.sameImage = false;
  update.modems = {Modem(0), Modem(1)};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  ASSERT_EQ(result.modems.size(), 2u);
  // The file dialog comes once per modem.
  std::string select = kSelect;
  auto first = result.log.find(select);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(result.log.find(select, first + select.size()), std::string::npos) << result.log;
  EXPECT_TRUE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.modems[1].holdsImage);
  EXPECT_TRUE(result.AllGood());
}

// Faults of the data paths that the driver must ride out, switched on as the session starts (so
// they hit the identification's command and answer): sequence gaps, a run of status packets
// without status, data-in packets not accessed, data-out packets retried after data errors. The
// modem is still identified, the image still arrives byte for byte and nothing is left behind.
TEST_F(UsbUpdateTest, DataPathFaultsAtTheStartDoNotStopTheUpdate) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 6000, 6);
  update.modems = {Modem(0)};
  update.beforeSession = [](sim::world::World& world, mdmsim::DriverRig& rig) {
    auto& faults = rig.modems().at(0)->device->faults();
    faults.sequenceGaps = 20;
    faults.zeroSequenceRun = 5;
    world.bus().InjectPacketStatus(0x85, 0xC000000F, 10);
    world.bus().InjectTransferStatus(0x85, USBD_STATUS_SUCCESS, 10);
    world.bus().InjectPacketStatus(0x06, 0xC000000E, 10);
    world.bus().InjectTransferStatus(0x06, USBD_STATUS_XACT_ERROR, 10);
  };
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  ASSERT_EQ(result.modems.size(), 1u);
  EXPECT_NE(result.log.find("COM3, USB_Modem,  + Modem_Code\r\n"), std::string::npos) << result.log;
  EXPECT_TRUE(result.log.ends_with(kFinished)) << result.log;
  EXPECT_TRUE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.AllGood()) << result.poolReport;
}

// A modem that never acknowledges the first data block is given up: the outcome must say that it
// does not hold the image, and the run is not good, while the driver still frees everything.
TEST_F(UsbUpdateTest, AModemThatNeverTakesTheImageFailsTheRun) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 4096, 3);
  update.modems = {Modem(0)};
  mdmsim::ParseFaultChoice("no-ack").fault->apply(update.modems[0].behaviour);
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  ASSERT_EQ(result.modems.size(), 1u);
  EXPECT_TRUE(result.modems[0].offered);
  EXPECT_FALSE(result.modems[0].holdsImage);
  EXPECT_EQ(result.log.find(kDone), std::string::npos) << result.log;
  EXPECT_FALSE(result.AllGood());
  EXPECT_TRUE(result.driverStopped);
  EXPECT_EQ(result.poolReport, "pool: no block outstanding\n");
}

}  // namespace
