// The deliverables meeting through the platform root as separate programs do: the scenario host
// leaves a root in which the driver wrote its COM bindings, and the shortcut installer creates
// and removes its Start-menu group in that same root.
#include <gtest/gtest.h>

#include <filesystem>
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

}  // namespace
