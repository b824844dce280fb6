// Control requests: indications read when the status flag shows one, debug texts, and the
// failure count that stops control traffic.
#include "platform/wdm/debug.h"
#include "platform/wdm/pnp.h"
#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {

TEST_F(EngineTest, FourFailedControlTransfersStopControlTraffic) {
  StartModem();
  AttachPort();
  world().Call([&] { world().bus().InjectTransferStatus(0x04, USBD_STATUS_STALL_PID, 4); });
  for (int i = 0; i < 4; ++i) {
    CallDriver(WDM_SET_MCR, 1);
    RunFor(i == 0 ? 150 : 20);
  }
  world().Call([&] {
    EXPECT_EQ(Modem().control.failures, 4u);
    EXPECT_TRUE(modem_->commands().empty());
  });
  CallDriver(WDM_SET_MCR, 3);
  RunFor(50);
  world().Call([&] {
    EXPECT_TRUE(modem_->commands().empty());
    EXPECT_EQ(Modem().modemControlPending, 1u);  // stays pending, never sent
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, DebugTextsReachTheDebugOutput) {
  platform::wdm::debug::Capture capture;
  StartModem();
  world().Call([&] {
    modem_->QueueIndication(sim::usbdevice::UsbModem::DebugText("hello", false));
    std::vector<BYTE> hex = sim::usbdevice::UsbModem::DebugText(std::string(29, '\x01'), true);
    hex[2] = 0xA0;  // hexadecimal, 32 bytes: more than fit
    modem_->QueueIndication(hex);
  });
  RunFor(200);
  std::string text = capture.Text();
  EXPECT_NE(text.find("DBG: h,e,l,l,o,"), std::string::npos) << text;
  std::string hex = "DBG: <";
  for (int i = 0; i < 29; ++i) hex += "01,";
  hex += " MSG is too long\n>\n";
  EXPECT_NE(text.find(hex), std::string::npos) << text;
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, AMessageWithoutTheIndicationMarkIsShownAndNotActedOn) {
  platform::wdm::debug::Capture capture;
  StartModem();
  world().Call([&] {
    std::vector<BYTE> flow = sim::usbdevice::UsbModem::FlowSettings('A', 'B', 1, 1, 1, 1, 1);
    flow[0] = 0x00;  // byte 0 without bit 7: not an indication
    modem_->QueueIndication(flow);
  });
  RunFor(200);
  world().Call([&] {
    const MDMContext& modem = Modem();
    EXPECT_EQ(modem.xonChar, 0u);
    EXPECT_EQ(modem.xoffChar, 0u);
    EXPECT_EQ(modem.writeSoftFlow + modem.readSoftFlow + modem.keepXonXoff, 0u);
    EXPECT_EQ(modem.writeHardFlow + modem.readHardFlow, 0u);
  });
  EXPECT_NE(capture.Text().find("<00,02,41,42,01,01,01,01,01,00,"), std::string::npos)
      << capture.Text();
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, AStuckIndicationFlagReadsNothingAndFailsNothing) {
  StartModem();
  world().Call([&] { modem_->faults().stuckIndication = true; });
  RunFor(200);
  world().Call([&] {
    EXPECT_EQ(Modem().control.failures, 0u);
    EXPECT_EQ(Modem().readSoftFlow, 0u);
  });
  RemoveAndUnplug(pdo_);
}

// A controller gives a cancelled transfer back at the end of its frame: the stop waits for it
// and frees the request only then.
TEST_F(EngineTest, AStopWaitsForACancelledIndicationReadToComeBack) {
  StartModem();
  world().Call([&] {
    modem_->faults().silentIndication = true;
    world().bus().DeferCancels(0x83);
  });
  RunFor(200);
  world().Call([&] {
    EXPECT_EQ(Modem().control.busy, 1u);
    EXPECT_NE(Modem().control.irp, nullptr);
  });
  EXPECT_EQ(pnp::StopDevice(pdo_), STATUS_SUCCESS);
  world().Call([&] {
    EXPECT_EQ(Modem().control.busy, 0u);
    EXPECT_EQ(Modem().control.irp, nullptr);
    EXPECT_EQ(Modem().control.failures, 1u);  // the read came back cancelled
  });
  RemoveAndUnplug(pdo_);
}

// A controller that is late to give a cancelled transfer back: the stop gives up waiting for
// it; the next start runs the status chain at once, control traffic resumes once the transfer
// has come back, and the pool is empty at the unload.
TEST_F(EngineTest, AStartAfterAStopThatGaveUpTalksAndControlResumesAtTheLateCompletion) {
  StartModem();
  world().Call([&] {
    modem_->faults().silentIndication = true;
    world().bus().HoldCancels(0x83);
  });
  RunFor(200);
  world().Call([&] { ASSERT_EQ(Modem().control.busy, 1u); });
  EXPECT_EQ(pnp::StopDevice(pdo_), STATUS_SUCCESS);
  world().Call([&] { modem_->faults().silentIndication = false; });
  ASSERT_EQ(pnp::StartDevice(pdo_), STATUS_SUCCESS);
  AttachPort();
  CallDriver(WDM_SET_MCR, 1);
  RunFor(200);
  world().Call([&] {
    EXPECT_GT(Port().msrReports, 0);          // the status chain runs
    EXPECT_TRUE(modem_->commands().empty());  // the old request still has the channel
  });
  world().Call([&] { world().bus().ReleaseHeldCancels(); });
  RunFor(100);
  world().Call([&] {
    EXPECT_EQ(modem_->commands().size(), 1u);
    EXPECT_EQ(Modem().control.busy, 0u);
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, StopWhileAStatusTransferIsInFlightReleasesItAtItsCompletion) {
  StartModem();
  RunFor(150);
  world().Call([&] {
    ASSERT_NE(Modem().status.irp, nullptr);
    IsoUsb_StopReadStatus(fdo_);
    EXPECT_EQ(Modem().status.busy, 0u);
    EXPECT_EQ(Modem().status.irp, nullptr);  // the cancelled transfer came back and was released
  });
  // The timer restarts the chain at its next tick.
  RunFor(30);
  world().Call([&] { EXPECT_EQ(Modem().status.busy, 1u); });
  RemoveAndUnplug(pdo_);
}

}  // namespace
}  // namespace driver_test
