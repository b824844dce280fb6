// mdmflash stopped by a signal in the middle of its search, as a user's Ctrl-C or a service
// manager's termination request would stop it. These runs take seconds of real time.
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "tests/ui/mdmflash_run.h"

namespace ui_test {
namespace {

// Ports whose devices answer no modem-status request: each is opened and waited on for a
// second during the search, and none holds a USB modem.
struct SilentPorts {
  explicit SilentPorts(const TempRoot& root, int count) {
    fs::create_directories(root.path() / "dosdevices");
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      int master = -1;
      int slave = -1;
      char slaveName[128];
      if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) continue;
      ends.push_back(master);
      ends.push_back(slave);
      names.push_back("COM" + std::to_string(3 + i));
      fs::create_symlink(slaveName, root.path() / "dosdevices" / ("com" + std::to_string(3 + i)));
    }
    ListPorts(names);
  }
  ~SilentPorts() {
    for (int end : ends) ::close(end);
  }
  std::vector<int> ends;
};

// Ctrl-C presses the close box and a termination request or a hang-up of the terminal stops
// without question; either way the log record is saved, the run says it was stopped and its exit
// status tells which signal it was.
// The signal arrives during the search over the ports, which takes seconds of real time.
TEST(MdmflashHeadless, ASignalStopsTheSessionSavesTheLogAndTellsSo) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempRoot root;
    SilentPorts ports(root, 4);
    const fs::path logFile = root.path() / "update.log";
    ProgramRun how{{{"DISPLAY", ""}}, std::chrono::seconds(120)};
    how.signal = signal;
    how.signalAfter = "Searching for USB-Modems";
    ProgramResult run = RunProgram(
        MDMFLASH_PATH, {"--headless", "--confirm-cancel", "no", "--save-log", logFile.string()},
        root.path(), how);
    ASSERT_TRUE(run.inTime);
    EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
    EXPECT_NE(run.err.find(std::string("stopped by SIG") + sigabbrev_np(signal)), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("Update finished!"), std::string::npos) << run.out;
    EXPECT_EQ(WithoutTimes(ReadWholeFile(logFile)), Record(run.out));
  }
}

// --list stops after the port it is probing, says so and tells the signal by its status.
TEST(MdmflashList, ASignalStopsTheListAfterThePortBeingProbed) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempRoot root;
    SilentPorts ports(root, 4);
    ProgramRun how{{{"DISPLAY", ""}}, std::chrono::seconds(60)};
    how.signal = signal;
    how.signalAfter = "COM3: no USB modem";
    ProgramResult run = RunProgram(MDMFLASH_PATH, {"--list"}, root.path(), how);
    ASSERT_TRUE(run.inTime);
    EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
    EXPECT_EQ(run.err, std::string("mdmflash: stopped by SIG") + sigabbrev_np(signal) + "\n");
    EXPECT_EQ(run.out.find("COM6"), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace ui_test
