// Whole update sessions through the driver stack with faults that strike while a transfer runs:
// data-path faults the driver rides out, transfers that fail and are tried again, a modem pulled
// out in the middle of its transfer, and Exit pressed during a transfer.
#include <string>
#include <utility>
#include <vector>

#include "platform/clock/clock.h"
#include "tests/e2e/usb_update_fixture.h"
#include "tests/support/session_log.h"
#include "tools/mdmsim/faults.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace {

using namespace session_log;

const mdmsim::ModemFault& Fault(const std::string& name) {
  return *mdmsim::ParseFaultChoice(name).fault;
}

// The log of a session in which the modem on COM3 takes the image on the first attempt.
std::string CleanLog() {
  return std::string(kStarted) + kSearching + "COM3, USB_Modem,  + Modem_Code\r\n\r\n" + kSelect +
         Check("COM3") + kTransfer + kDone + kFinished;
}

class MidTransferFault : public UsbUpdateTest, public ::testing::WithParamInterface<const char*> {};

// Each fault of the data paths strikes in the middle of the image: the driver rides it out, so
// the session sees nothing of it and the image arrives byte for byte on the first attempt.
TEST_P(MidTransferFault, IsRiddenOutWithoutTheSessionNoticing) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 8000, 7);
  update.modems = {Modem(0)};
  update.events = {mdmsim::EventFor(Fault(GetParam()), 0)};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  EXPECT_EQ(result.eventsRun, 1);
  EXPECT_EQ(result.log, CleanLog());
  ASSERT_EQ(result.modems.size(), 1u);
  EXPECT_TRUE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.AllGood()) << result.poolReport;
}

INSTANTIATE_TEST_SUITE_P(UsbFaults, MidTransferFault,
                         ::testing::Values("sequence-gaps", "zero-sequence", "data-in-errors",
                                           "data-out-errors", "control-failure", "data-in-noise",
                                           "data-out-noise", "oversized-data-in",
                                           "stuck-indication", "silent-indication", "slow-drain",
                                           "alloc-session"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, '-');
                           return name;
                         });

// An event strikes once its modem has taken its bytes and its wait has passed; one that lasts is
// looked at every 2 ms of virtual time and ended once when its time is over.
TEST_F(UsbUpdateTest, AnEventStrikesAfterItsWaitAndEndsWhenItsTimeIsOver) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 3000, 11);
  update.modems = {Modem(0)};
  std::vector<std::pair<mdmsim::EventTick, std::int64_t>> ticks;
  std::uint64_t bytesAtStrike = 0;
  mdmsim::UsbEvent event;
  event.afterBytes = 1000;
  event.wait = std::chrono::milliseconds(100);
  event.lasts = std::chrono::milliseconds(50);
  event.onWorld = [&](sim::world::World&, mdmsim::DriverRig& rig, mdmsim::EventTick tick) {
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(platform::clock::Current().Now());
    if (tick == mdmsim::EventTick::kStrike) {
      bytesAtStrike = rig.Find("COM3")->device->bytesFromHost();
    }
    ticks.emplace_back(tick, now.count());
  };
  update.events = {event};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  EXPECT_EQ(result.eventsRun, 1);
  EXPECT_TRUE(result.AllGood());
  ASSERT_GE(ticks.size(), 3u);
  EXPECT_EQ(ticks.front().first, mdmsim::EventTick::kStrike);
  EXPECT_GE(bytesAtStrike, 1000u);
  EXPECT_EQ(ticks.back().first, mdmsim::EventTick::kEnd);
  EXPECT_GE(ticks.back().second - ticks.front().second, 50);
  EXPECT_LE(ticks.back().second - ticks.front().second, 52);
  for (std::size_t i = 1; i + 1 < ticks.size(); ++i) {
    EXPECT_EQ(ticks[i].first, mdmsim::EventTick::kDuring);
    EXPECT_EQ(ticks[i].second - ticks[i - 1].second, 2);
  }
}

// An allocation failure of the driver's add and start fails the start cleanly; the modem,
// plugged in again, is started and updated. One of its stop frees everything all the same.
TEST_F(UsbUpdateTest, AllocationFailuresOfStartAndStopLeaveNothingBehind) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 2000, 12);
  update.modems = {Modem(0), Modem(1)};
  mdmsim::AddFault(update, 0, mdmsim::ParseFaultChoice("alloc-start@COM3:n=1,kind=device"));
  mdmsim::AddFault(update, 1, mdmsim::ParseFaultChoice("alloc-stop@COM4:n=1,kind=any"));
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  ASSERT_EQ(result.modems.size(), 2u);
  EXPECT_TRUE(result.modems[0].startRetried);
  EXPECT_FALSE(result.modems[1].startRetried);
  EXPECT_TRUE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.modems[1].holdsImage);
  EXPECT_TRUE(result.driverStopped);
  EXPECT_EQ(result.poolReport, "pool: no block outstanding\n");
}

// A transfer that fails twice is tried a third time and succeeds.
TEST_F(UsbUpdateTest, ATransferThatFailsTwiceSucceedsTheThirdTime) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 4096, 8);
  update.modems = {Modem(0)};
  Fault("flash-error-twice").apply(update.modems[0].behaviour);
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  // The image is chosen anew for every attempt.
  std::string attempt = kSelect + Check("COM3") + kTransfer;
  EXPECT_EQ(result.log, std::string(kStarted) + kSearching +
                            "COM3, USB_Modem,  + Modem_Code\r\n\r\n" + attempt + kFailedTwice +
                            attempt + kFailedTwice + attempt + kDone + kFinished);
  EXPECT_TRUE(result.AllGood());
}

// A modem pulled out in the middle of its transfer: the transfer fails, the retry finds no
// answer to the download request (so no image is chosen) and the modem is skipped; the next modem
// still takes the image, nothing hangs, and the driver frees everything of the removed modem.
TEST_F(UsbUpdateTest, AModemPulledOutDuringItsTransferFailsAndTheNextStillUpdates) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 6000, 9);
  update.modems = {Modem(0), Modem(1)};
  update.events = {mdmsim::EventFor(Fault("unplug"), 0)};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  EXPECT_EQ(result.eventsRun, 1);
  std::string attempt = Check("COM3") + kTransfer;
  attempt.erase(attempt.find("\r\nChecking"));  // the flash is never checked
  EXPECT_EQ(result.log, std::string(kStarted) + kSearching +
                            "COM3, USB_Modem,  + Modem_Code\r\n\r\n"
                            "COM4, USB_Modem,  + Modem_Code\r\n\r\n" +
                            kSelect + attempt + kFailedTwice + Check("COM3") +
                            "\r\nNo answer from the modem!!!\r\n" + Check("COM4") + kTransfer +
                            kDone + kFinished);
  ASSERT_EQ(result.modems.size(), 2u);
  EXPECT_TRUE(result.modems[0].pulledOut);
  EXPECT_FALSE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.modems[1].holdsImage);
  EXPECT_TRUE(result.driverStopped);
  EXPECT_EQ(result.poolReport, "pool: no block outstanding\n");
  // Each step that waits for the modem has its own bound; together they stay within minutes.
  EXPECT_LT(result.virtualMs, 5 * 60 * 1000);
}

// Exit during a transfer, with Yes to the question: both threads end within the stop's bound,
// the session ends, and the modem's port and the driver are left clean.
TEST_F(UsbUpdateTest, ExitDuringATransferStopsBothThreadsWithinTheirBound) {
  mdmsim::UsbUpdate update;
  update.session.imagePath = WriteImage("image.bin", 60000, 10);
  update.session.exitOn = "\r\nSending firmware to modem ...\r\n";
  std::int64_t exitAt = -1;
  update.session.onLog = [&](std::string_view text) {
    if (text == update.session.exitOn) {
      exitAt =
          std::chrono::duration_cast<std::chrono::milliseconds>(platform::clock::Current().Now())
              .count();
    }
  };
  update.modems = {Modem(0)};
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  ASSERT_GE(exitAt, 0);
  EXPECT_LE(result.virtualMs - exitAt, 5000);
  EXPECT_EQ(result.log.find(kDone), std::string::npos) << result.log;
  EXPECT_EQ(updateWorkerThread, nullptr);
  EXPECT_EQ(zmodemThread, nullptr);
  ASSERT_EQ(result.modems.size(), 1u);
  EXPECT_FALSE(result.modems[0].holdsImage);
  EXPECT_TRUE(result.driverStopped);
  EXPECT_EQ(result.poolReport, "pool: no block outstanding\n");
}

}  // namespace
