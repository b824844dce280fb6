// The built program: MDM_ROOT=<root> mdmlinks creates the group, mdmlinks d removes it, and the
// debugger output reaches the standard error stream.
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/links/links_fixture.h"

namespace links_test {
namespace {

int RunProgram(const std::filesystem::path& root, const std::string& arguments,
               const std::filesystem::path& errors) {
  const std::string command = "MDM_ROOT='" + root.string() + "' '" MDMLINKS_PROGRAM "' " +
                              arguments + " 2>'" + errors.string() + "'";
  return std::system(command.c_str());
}

using ProgramTest = LinksTest;

TEST_F(ProgramTest, CreatesAndRemovesTheGroupInItsRoot) {
  const std::filesystem::path programRoot = root_ / "program root";
  const std::filesystem::path errors = root_ / "errors.txt";
  EXPECT_EQ(RunProgram(programRoot, "", errors), 0);
  const auto group = programRoot / "Start Menu" / "Programs" / "USB Modem Utility 02";
  EXPECT_EQ(Decode(group / "USB Modem Update.lnk").description, Wide("USB Modem Update"));
  EXPECT_TRUE(std::filesystem::exists(group / "USB Modem Uninstall.lnk"));

  EXPECT_EQ(RunProgram(programRoot, "d", errors), 0);
  EXPECT_FALSE(std::filesystem::exists(group));
  std::ifstream in(errors);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("Delete: " + Platform(group / "USB Modem Update.lnk") + "\n"),
            std::string::npos);
}

}  // namespace
}  // namespace links_test
