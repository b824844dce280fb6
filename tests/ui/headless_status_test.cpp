// mdmflash's headless run in-process, against simulated modems on in-process ports (a program
// run can reach no modem whose line status can be read): its exit status says whether every
// modem found now holds the image.
#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include "platform/ui/dialog_box.h"

#include "tests/updater/session/update_harness.h"
#include "updater/app/app.h"
#include "updater/app/headless.h"

namespace update_test {
namespace {

class HeadlessStatusTest : public UpdateHarness {
 protected:
  // The operator answers the dialogs and shows them headless for the whole process, and the
  // application names the program after its executable; the next test starts without either,
  // and with the stop signals delivered as usual.
  void TearDown() override {
    programName = savedName;
    ui::SetModalBackend({});
    ui::SetHeadlessOutput({});
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    UpdateHarness::TearDown();
  }

  int RunHeadless() {
    ProgramOptions options;
    options.headless = true;
    options.image = image;
    InstallHeadlessOperator(options);
    theApp.InitInstance();
    return FinishHeadless();
  }

  const char* savedName = programName;
};

TEST_F(HeadlessStatusTest, EveryModemUpdatedIsZero) {
  AddModem("COM3");
  AddModem("COM4");
  EXPECT_EQ(RunHeadless(), kExitUpdated);
  for (const auto& modem : modems) {
    EXPECT_EQ(modem->WithFirmware([](auto& firmware) { return firmware.flash().image(); }),
              ImageBytes());
  }
}

TEST_F(HeadlessStatusTest, OneModemThatKeepsFailingItsFlashCheckIsOne) {
  AddModem("COM3");
  AddModem("COM4", {.zmodem = {.flashCheckFails = true}});
  EXPECT_EQ(RunHeadless(), kExitNotUpdated);
}

TEST_F(HeadlessStatusTest, NoModemAmongThePortsIsThree) {
  AddPlainPort("COM1");
  EXPECT_EQ(RunHeadless(), kExitNoModem);
}

}  // namespace
}  // namespace update_test
