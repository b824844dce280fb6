// mdmd as a user starts it, on this machine's own USB bus (with no modem on it): it serves until
// a stop signal, then says so with the pool report and the signal's exit status; bad arguments
// end it at once.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "tests/support/background_program.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using testing_support::BackgroundProgram;
using testing_support::RunProgram;
using testing_support::TempRoot;

class Mdmd : public ::testing::TestWithParam<int> {};

TEST_P(Mdmd, AStopSignalEndsTheServiceWithThePoolReportAndTheSignalsStatus) {
  TempRoot root;
  BackgroundProgram mdmd(MDMD_PATH, {}, root.path(),
                         std::map<std::string, std::string>{{"MDM_ROOT", root.path().string()}});
  ASSERT_TRUE(mdmd.AwaitError("mdmd: serving USB modems", 10s)) << mdmd.err();
  const int signal = GetParam();
  EXPECT_EQ(mdmd.Stop(signal, 30s), 128 + signal) << mdmd.err();
  EXPECT_NE(mdmd.err().find("mdmd: pool: no block outstanding\nmdmd: stopped by SIG" +
                            std::string(sigabbrev_np(signal))),
            std::string::npos)
      << mdmd.err();
}

INSTANTIATE_TEST_SUITE_P(Signals, Mdmd, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(MdmdArguments, HelpNamesTheExitStatusesAndBadArgumentsEndWithTwo) {
  TempRoot root;
  auto help = RunProgram(MDMD_PATH, {"--help"}, root.path());
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("130 after SIGINT, 143 after SIGTERM"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("--serial"), std::string::npos) << help.out;
  EXPECT_EQ(RunProgram(MDMD_PATH, {"--rfc2217-base", "0"}, root.path()).exitCode, 2);
  EXPECT_EQ(RunProgram(MDMD_PATH, {"--no-such-option"}, root.path()).exitCode, 2);
}

}  // namespace
