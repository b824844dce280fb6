// The deliverables meeting through the platform root as separate programs do: the scenario host
// leaves a root in which the driver wrote its COM bindings, and the shortcut installer creates
// and removes its Start-menu group in that same root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::RunProgram;
using testing_support::TempRoot;

TEST(Programs, ShortcutsGoIntoTheRootThatTheUpdateUsed) {
  TempRoot scratch;
  auto update = RunProgram(MDMSIM_PATH, {"update", "--modems", "1", "--keep-root"}, scratch.path());
  ASSERT_EQ(update.exitCode, 0) << update.err;
  const std::string kept = "[mdmsim] platform root kept in ";
  auto at = update.out.find(kept);
  ASSERT_NE(at, std::string::npos) << update.out;
  std::filesystem::path root = update.out.substr(at + kept.size());
  root = root.string().substr(0, root.string().find('\n'));
  ASSERT_TRUE(std::filesystem::exists(root / "registry.reg"));

  ::setenv("MDM_ROOT", root.c_str(), 1);
  auto query =
      RunProgram(MDMREG_PATH, {"query", "HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm"},
                 scratch.path());
  EXPECT_NE(query.out.find("COM3"), std::string::npos) << query.out;

  std::filesystem::path group = root / "Start Menu" / "Programs" / "USB Modem Utility 02";
  EXPECT_EQ(RunProgram(MDMLINKS_PATH, {}, scratch.path()).exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(group / "USB Modem Update.lnk"));
  EXPECT_TRUE(std::filesystem::exists(group / "USB Modem Uninstall.lnk"));
  EXPECT_EQ(RunProgram(MDMLINKS_PATH, {"d"}, scratch.path()).exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(group));
  std::filesystem::remove_all(root);
}

// `mdmsim call` sends a file across a call both ways and says so; a file that XON/XOFF flow
// control would eat, a missing file and a third modem are refused as usage errors.
TEST(Programs, MdmsimCallCarriesAFileAndRefusesWhatItCannotCarry) {
  TempRoot scratch;
  std::filesystem::path file = scratch.path() / "payload.bin";
  {
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 5000; ++i) out.put(static_cast<char>(i * 7));
  }
  auto call =
      RunProgram(MDMSIM_PATH, {"call", "--send", file.string(), "--both-ways"}, scratch.path());
  EXPECT_EQ(call.exitCode, 0) << call.out << call.err;
  EXPECT_NE(call.out.find("COM3 -> COM4: 5000 of 5000 bytes intact"), std::string::npos);
  EXPECT_NE(call.out.find("COM4 -> COM3: 5000 of 5000 bytes intact"), std::string::npos);
  EXPECT_NE(call.out.find("COM4 < NO CARRIER"), std::string::npos);
  EXPECT_NE(call.out.find("pool: no block outstanding"), std::string::npos);
  auto eaten = RunProgram(MDMSIM_PATH, {"call", "--send", file.string(), "--flow", "xonxoff"},
                          scratch.path());
  EXPECT_EQ(eaten.exitCode, 2);
  EXPECT_NE(eaten.err.find("holds XON or XOFF bytes"), std::string::npos) << eaten.err;
  EXPECT_EQ(RunProgram(MDMSIM_PATH, {"call", "--send", "/no/such/file"}, scratch.path()).exitCode,
            2);
  EXPECT_EQ(
      RunProgram(MDMSIM_PATH, {"call", "--send", file.string(), "--modems", "3"}, scratch.path())
          .exitCode,
      2);
  EXPECT_EQ(RunProgram(MDMSIM_PATH, {"call"}, scratch.path()).exitCode, 2);
}

}  // namespace
