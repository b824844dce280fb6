// Every program as a user meets it first: --version leads with the project's one version and
// says which modem protocol the program speaks, --help tells the environment and the exit
// statuses; the installers' programs answer only an exact --help or --version and touch nothing
// then; the servers refuse a platform root they cannot use at once, in one line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramRun;
using testing_support::RunProgram;
using testing_support::TempRoot;

struct Program {
  const char* name;
  const char* path;
  const char* speaks;  // a word of the line that says which protocol it speaks
};

const Program kPrograms[] = {
    {"mdmflash", MDMFLASH_PATH, "\"ati9\""},   {"mdmd", MDMD_PATH, "PID 5201"},
    {"mdmsim", MDMSIM_PATH, "PID 5201"},       {"mdmreg", MDMREG_PATH, "REGEDIT4"},
    {"mdmlinks", MDMLINKS_PATH, "Start-menu"}, {"mdminst", MDMINST_PATH, "records each start"},
};

TEST(Programs, VersionLeadsWithTheOneVersionAndHelpTellsEnvironmentAndStatuses) {
  TempRoot root;
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    auto version = RunProgram(program.path, {"--version"}, root.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind(std::string(program.name) + " " + MDM_VERSION + "\n", 0), 0u)
        << version.out;
    EXPECT_NE(version.out.find(program.speaks), std::string::npos) << version.out;
    auto help = RunProgram(program.path, {"--help"}, root.path());
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"Usage:", "MDM_ROOT", "Exit status"}) {
      EXPECT_NE(help.out.find(part), std::string::npos) << part << " in\n" << help.out;
    }
  }
}

TEST(Programs, TheInstallersProgramsTouchNothingForAnExactHelpOrVersion) {
  TempRoot root;
  for (const char* word : {"--help", "--version"}) {
    EXPECT_EQ(RunProgram(MDMINST_PATH, {word}, root.path()).exitCode, 0);
    EXPECT_EQ(RunProgram(MDMLINKS_PATH, {word}, root.path()).exitCode, 0);
  }
  EXPECT_FALSE(fs::exists(root.path() / "mdminst.log"));
  EXPECT_FALSE(fs::exists(root.path() / "Start Menu"));
  // Anything more is the text the install program records, as before.
  EXPECT_EQ(RunProgram(MDMINST_PATH, {"--help", "me"}, root.path()).exitCode, 0);
  EXPECT_EQ(testing_support::ReadWholeFile(root.path() / "mdminst.log"), "--help me\n");
}

TEST(Programs, ServersRefuseARootThatIsAFileAtOnceInOneLine) {
  TempRoot root;
  const fs::path file = root.path() / "a file";
  std::ofstream(file) << "not a folder\n";
  const std::vector<std::pair<const char*, std::vector<std::string>>> servers = {
      {MDMD_PATH, {}}, {MDMSIM_PATH, {"serve"}}};
  for (const auto& [path, args] : servers) {
    SCOPED_TRACE(path);
    auto run = RunProgram(path, args, root.path(),
                          ProgramRun{{{"MDM_ROOT", file.string()}}, std::chrono::seconds(60)});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("the platform root " + file.string() + " cannot be used"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;  // one line
  }
}

}  // namespace
