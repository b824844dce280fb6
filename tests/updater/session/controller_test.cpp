// The update session from the start message to its end, headless in virtual time.
#include <gtest/gtest.h>

#include "platform/win32/faults.h"
#include "tests/support/session_log.h"
#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

using namespace std::chrono_literals;

using namespace session_log;

using SessionTest = UpdateHarness;

TEST_F(SessionTest, TypicalSessionLogsEveryStepInOrder) {
  AddPlainPort("COM1");
  auto modem = AddModem("COM3");
  RunToEnd();
  EXPECT_EQ(Log(), std::string(kStarted) + kSearching +
                       "COM1,  ! USB_Modem\r\n\r\n"
                       "COM3, USB_Modem,  + Modem_Code\r\n\r\n" +
                       kSelect + Check("COM3") + kTransfer +
                       "\r\nUpdate completed successfully!\r\n"
                       "Update finished!\r\n");
  EXPECT_TRUE(questions.empty());  // one modem: the same-image question is never asked
  ASSERT_EQ(fileDialogs.size(), 1u);
  EXPECT_EQ(fileDialogs[0].title, "Select an image file for the modem on COM3");
  modem->WithFirmware([this](auto& firmware) {
    EXPECT_EQ(firmware.downloadRequests(), std::vector<std::string>{"at@d"});
    EXPECT_EQ(firmware.flash().image(), ImageBytes());
  });
  // The port of the last modem stays open until the program closes.
  EXPECT_TRUE(ports[1]->Snapshot().open);
  StopSession();
  EXPECT_FALSE(ports[1]->Snapshot().open);
}

TEST_F(SessionTest, NoSerialPortsEndsTheSessionAtOnce) {
  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegCloseKey(key);
  RunToEnd();
  EXPECT_EQ(Log(), std::string(kStarted) + "There are no serial ports!");
}

// Without the serial-port map the search finds ten nameless ports, none of which opens; the log
// says why nothing was found.
TEST_F(SessionTest, MissingSerialPortMapIsExplainedAfterTheSearchLine) {
  RunToEnd();
  EXPECT_EQ(Log(), std::string(kStarted) + kSearching +
                       "The list of serial ports (hardware\\devicemap\\serialcomm) cannot be "
                       "read: is the modem driver installed?\r\n");
  EXPECT_EQ(updateSession.portCount, 10);
  EXPECT_EQ(time.NowMs(), 0);  // no port opened, so no probe waited
}

TEST_F(SessionTest, PortsWithoutAModemEndWithThePortList) {
  AddPlainPort("COM1");
  AddModem("COM2", {.silent = true});
  RunToEnd();
  EXPECT_EQ(Log(), std::string(kStarted) + kSearching + "COM1,  ! USB_Modem\r\n\r\n" +
                       "COM2,  ! USB_Modem\r\n\r\n");
  EXPECT_EQ(updateWorkerThread, nullptr);
  EXPECT_TRUE(fileDialogs.empty());
}

TEST_F(SessionTest, AFailingTransferIsTriedThreeTimesThenTheNextModemIsUpdated) {
  auto first = AddModem("COM3", {.zmodem = {.flashCheckFails = true}});
  auto second = AddModem("COM4", {.hasModemCode = false});
  boxAnswers = {IDNO, IDNO, IDNO, IDNO};
  RunToEnd();

  std::string attempt = std::string(kSelect) + Check("COM3") + kTransfer + kFailedTwice;
  EXPECT_EQ(Log(), std::string(kStarted) + kSearching +
                       "COM3, USB_Modem,  + Modem_Code\r\n\r\n"
                       "COM4, USB_Modem,  - Modem_Code\r\n\r\n" +
                       attempt + attempt + attempt +
                       "Update has been started 3 times. Give up!!!\r\n" + kSelect + Check("COM4") +
                       kTransfer +
                       "\r\nUpdate completed successfully!\r\n"
                       "Update finished!\r\n");
  first->WithFirmware([](auto& firmware) {
    EXPECT_EQ(firmware.downloadRequests(), (std::vector<std::string>{"at@d", "x", "x"}));
  });
  second->WithFirmware([this](auto& firmware) {
    EXPECT_EQ(firmware.downloadRequests(), std::vector<std::string>{"x"});
    EXPECT_EQ(firmware.flash().image(), ImageBytes());
  });
  // With No, the file dialog and the question come for every preparation.
  EXPECT_EQ(fileDialogs.size(), 4u);
  EXPECT_EQ(questions.size(), 4u);
  EXPECT_EQ(updateSession.PortTable[0].attempts, 3);
}

TEST_F(SessionTest, YesToTheSameImageQuestionKeepsTheFirstImageForEveryModem) {
  AddModem("COM3");
  AddModem("COM4");
  boxAnswers = {IDYES};
  RunToEnd();
  EXPECT_EQ(fileDialogs.size(), 1u);
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].text,
            "Should this image be used for updating of all other USB modems as well?");
  EXPECT_EQ(questions[0].caption, "");
  EXPECT_EQ(questions[0].type, MB_YESNO | MB_ICONQUESTION);
  EXPECT_NE(imageFile.data, nullptr);  // kept until the program closes
  StopSession();
  EXPECT_EQ(imageFile.data, nullptr);
}

TEST_F(SessionTest, ModemThatIsNotReadyIsSkippedWithTheReasonLogged) {
  AddModem("COM3", {}, MS_RING_ON);            // neither CTS nor DSR
  AddModem("COM4", {.downloadAnswer = "OK"});  // answers, but without the prompt
  AddModem("COM5", {.downloadAnswer = ""});    // answers nothing at all
  ListPort("COM6", "COM6");                    // listed, but there is no such port
  RunToEnd();
  std::string log = Log();
  EXPECT_NE(log.find("The modem on COM3 is not correct connected!\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Update started"), std::string::npos);
  auto com5 = log.find(Check("COM5"));
  ASSERT_NE(com5, std::string::npos);
  EXPECT_EQ(log.substr(com5 + Check("COM5").size()),
            "\r\nNo answer from the modem!!!\r\nUpdate finished!\r\n");
  // Nothing is logged for COM4's prompt-less answer; each skipped modem released its image.
  EXPECT_NE(log.find(Check("COM4") + kSelect), std::string::npos);
  EXPECT_EQ(imageFile.data, nullptr);
}

TEST_F(SessionTest, FailedStatusQueryIsLoggedWithThePortName) {
  AddModem("COM3");
  ports[0]->SetModemStatusFails(false);
  RunUntil([](const std::string& log) { return log.find("Modem_Code") != std::string::npos; });
  ports[0]->SetModemStatusFails(true);
  RunToEnd();
  EXPECT_NE(Log().find("GetCommModemStatus() on COM3 failed.\r\nUpdate finished!\r\n"),
            std::string::npos);
}

TEST_F(SessionTest, CancelledFileDialogSkipsTheModemWithoutRetry) {
  AddModem("COM3");
  fileAnswers = {std::nullopt};
  RunToEnd();
  EXPECT_TRUE(
      Log().ends_with(std::string(kSelect) + "No image file selected\r\nUpdate finished!\r\n"));
  EXPECT_EQ(fileDialogs.size(), 1u);
}

TEST_F(SessionTest, ImagesThatCannotBeLoadedSkipTheModem) {
  AddModem("COM3");
  AddModem("COM4");
  std::string empty = (root.path() / "empty.bin").string();
  std::ofstream(empty).close();
  fileAnswers = {(root.path() / "missing.bin").string(), empty};
  RunToEnd();
  EXPECT_TRUE(Log().ends_with(std::string(kSelect) + "Cannot open the image file" + kSelect +
                              "Update finished!\r\n"));
}

// Another program holds the modem's port when the update wants it: the reason goes to the
// debugger output only, and the modem is skipped with its image released.
TEST_F(SessionTest, APortHeldOpenAtSetupSkipsTheModemWithADebuggerLine) {
  AddModem("COM3");
  RunUntil([](const std::string& log) { return log.find("Modem_Code") != std::string::npos; });
  HANDLE holder = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  RunToEnd();
  CloseHandle(holder);
  EXPECT_TRUE(Log().ends_with(std::string(kSelect) + Check("COM3") + kFinished));
  EXPECT_NE(debug.Text().find("SetupCommPort() failed\n"), std::string::npos);
  EXPECT_EQ(commPortSession.port, nullptr);
  EXPECT_EQ(imageFile.data, nullptr);
  EXPECT_EQ(updateSession.PortTable[0].attempts, 0);  // skipped, not counted as a failed transfer
}

// The worker is inside its 50 s wait for the prompt: it does not see its stop event, and is
// ended after the 5 s bound, leaving no thread, event or port behind.
TEST_F(SessionTest, StopDuringThePromptWaitEndsWithinFiveSeconds) {
  AddModem("COM3", {.downloadAnswer = ""});
  RunUntil([](const std::string& log) { return log.find(Check("COM3")) != std::string::npos; });
  Sleep(3000);
  auto before = time.NowMs();
  StopSession();
  EXPECT_EQ(time.NowMs() - before, 5000);
  EXPECT_EQ(updateWorkerThread, nullptr);
  EXPECT_FALSE(ports[0]->Snapshot().open);
}

// Without a running transfer Exit closes without asking (the question itself is in the sender's
// tests, where a transfer runs).
TEST_F(SessionTest, ExitDoesNotAskWithoutATransfer) {
  EXPECT_TRUE(ConfirmStop());
  zmodemContext.state = 3;  // a state left over, but no ZModem thread
  EXPECT_TRUE(ConfirmStop());
  EXPECT_TRUE(questions.empty());
  ResetZModemContext();
}

// NextStepEvent (index 1) is handled before TransferFailedEvent (index 4) when both wait.
TEST_F(SessionTest, LowerEventIndexIsHandledFirst) {
  MakeLogWindow();
  ASSERT_TRUE(StartUpdateWorker());
  SetEvent(NextStepEvent);  // portCount 0: the step logs "Update finished!"
  Sleep(1);                 // the worker now waits for the dialog to take its log text
  SetEvent(TransferFailedEvent);
  SetEvent(NextStepEvent);
  RunUntil(
      [](const std::string& log) { return log.ends_with("restarted\r\nUpdate finished!\r\n"); });
  EXPECT_EQ(Log(), std::string("Update finished!\r\nUpdate finished!\r\n") + kFailedTwice +
                       "Update finished!\r\n");
}

}  // namespace
}  // namespace update_test

namespace update_test {
namespace {

using platform::win32::faults::Call;
using platform::win32::faults::FailNth;

TEST_F(SessionTest, AWorkerThatCannotStartEndsTheSession) {
  AddModem("COM3");
  FailNth(Call::kCreateThread, 1);
  RunToEnd();
  EXPECT_TRUE(
      Log().ends_with("Modem_Code\r\n\r\nCouldn't open the modem session, please try "
                      "again.\r\n"));
  EXPECT_EQ(debug.Text(), "CreateThread() failed\n");
  EXPECT_EQ(NextStepEvent, nullptr);  // no event left behind
}

TEST_F(SessionTest, AZModemThreadThatCannotStartStopsTheWorker) {
  AddModem("COM3");
  FailNth(Call::kCreateThread, 2);
  RunToEnd();
  EXPECT_TRUE(Log().ends_with("Modem_Code\r\n\r\nStart of a thread failed."));
  EXPECT_EQ(ZStartEvent, nullptr);
}

TEST_F(SessionTest, AnEventThatCannotBeCreatedFailsTheWorkerStart) {
  AddModem("COM3");
  FailNth(Call::kCreateEvent, 2 + 4);  // past the probe's two events, into the worker's seven
  RunToEnd();
  EXPECT_TRUE(Log().ends_with("Couldn't open the modem session, please try again.\r\n"));
  EXPECT_EQ(commPortSession.readEvent, nullptr);
}

}  // namespace
}  // namespace update_test
