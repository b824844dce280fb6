// mdmsim stopped by a signal in the middle of a session: its scratch platform root goes with it.
// The signal is sent while the session runs, so these runs depend on real time.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramResult;
using testing_support::ProgramRun;
using testing_support::TempRoot;

// Runs an update of a large image with TMPDIR in `scratch` and stops it with `signal` once the
// session has started.
ProgramResult StopMidSession(const TempRoot& root, const fs::path& scratch, int signal,
                             std::vector<std::string> extra = {}) {
  fs::create_directories(scratch);
  const std::string image = (root.path() / "big.bin").string();
  std::ofstream(image, std::ios::binary) << std::string(12 << 20, 'I');
  ProgramRun how{{{"TMPDIR", scratch.string()}}, std::chrono::seconds(120)};
  how.signal = signal;
  how.signalAfter = "Modem update tool started.";
  std::vector<std::string> args{"update", "--image", image};
  args.insert(args.end(), extra.begin(), extra.end());
  return testing_support::RunProgram(MDMSIM_PATH, args, root.path(), how);
}

TEST(MdmsimSignals, AStoppedRunRemovesItsPlatformRootUnlessAskedToKeepIt) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    TempRoot root;
    const fs::path scratch = root.path() / "tmp";
    ProgramResult run = StopMidSession(root, scratch, signal);
    ASSERT_TRUE(run.inTime);
    EXPECT_EQ(run.exitCode, 128 + signal) << run.out;
    EXPECT_NE(run.err.find(signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(fs::is_empty(scratch)) << fs::directory_iterator(scratch)->path();
  }
  TempRoot root;
  const fs::path scratch = root.path() / "tmp";
  ProgramResult kept = StopMidSession(root, scratch, SIGTERM, {"--keep-root"});
  ASSERT_TRUE(kept.inTime);
  EXPECT_EQ(kept.exitCode, 128 + SIGTERM);
  EXPECT_FALSE(fs::is_empty(scratch)) << "--keep-root was not respected";
}

}  // namespace
