// mdmlinks run in-process on a temporary platform root: the group it creates, what the shortcuts
// decode to, what removal leaves, and the command lines that do nothing.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "links/links.h"
#include "tests/links/links_fixture.h"

namespace links_test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ino_t Inode(const fs::path& file) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
  return info.st_ino;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class MdmlinksTest : public LinksTest {
 protected:
  void ExpectLink(const fs::path& file, const std::string& target, const std::string& text) {
    LinkFile link = Decode(file);
    EXPECT_EQ(link.target, Platform(root_ / "Windows") + "\\" + target) << file;
    EXPECT_EQ(link.description, Wide(text)) << file;
  }
  void ExpectBothLinks(const fs::path& group) {
    EXPECT_EQ(Names(group),
              (std::vector<std::string>{"USB Modem Uninstall.lnk", "USB Modem Update.lnk"}));
    ExpectLink(group / "USB Modem Update.lnk", "MDMFLASH.EXE", "USB Modem Update");
    ExpectLink(group / "USB Modem Uninstall.lnk", "MDMREMOVE.EXE", "USB Modem Uninstall");
  }
};

TEST_F(MdmlinksTest, CreatesTheGroupWithBothShortcutsAndAnnouncesIt) {
  EXPECT_EQ(mdmlinks::RunLinks(""), 0);
  ExpectBothLinks(Group());
  auto notices = platform::shell::ChangeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].event, 8);
  EXPECT_EQ(notices[0].flags, 1u);
  EXPECT_EQ(notices[0].item1, Platform(Group()));
  EXPECT_FALSE(notices[0].hasItem2);
  EXPECT_EQ(debug_.Text(), "");
}

TEST_F(MdmlinksTest, CreatingTwiceOverwritesBothShortcutsInPlace) {
  mdmlinks::RunLinks("");
  const ino_t update = Inode(Group() / "USB Modem Update.lnk");
  std::ofstream(Group() / "USB Modem Update.lnk", std::ios::binary)
      << "stale, longer than a link " << std::string(400, 'x');
  mdmlinks::RunLinks("");
  EXPECT_EQ(Names(Programs()), std::vector<std::string>{"USB Modem Utility 02"});
  ExpectBothLinks(Group());
  EXPECT_EQ(Inode(Group() / "USB Modem Update.lnk"), update);
}

TEST_F(MdmlinksTest, RemovalDeletesEveryFileAndThenTheFolder) {
  mdmlinks::RunLinks("");
  std::ofstream(Group() / "notes.txt") << "x";
  debug_.Clear();
  EXPECT_EQ(mdmlinks::RunLinks("d"), 0);
  EXPECT_FALSE(fs::exists(Group()));
  const std::string group = Platform(Group());
  EXPECT_EQ(SortedLines(debug_.Text()),
            (std::vector<std::string>{"Delete: " + group + "\\USB Modem Uninstall.lnk",
                                      "Delete: " + group + "\\USB Modem Update.lnk",
                                      "Delete: " + group + "\\notes.txt"}));
  EXPECT_TRUE(debug_.Text().ends_with("\n"));
  EXPECT_TRUE(platform::shell::ChangeNotices().size() == 1u) << "removal sends no notice";
}

TEST_F(MdmlinksTest, RemovalLeavesSubFoldersAndDotFilesAndSoTheGroup) {
  mdmlinks::RunLinks("");
  fs::create_directory(Group() / "sub");
  std::ofstream(Group() / ".keep") << "x";
  debug_.Clear();
  mdmlinks::RunLinks("delete");  // only the first character counts
  EXPECT_EQ(Names(Group()), (std::vector<std::string>{".keep", "sub"}));
  EXPECT_NE(debug_.Text().find("Delete: " + Platform(Group() / "sub") + "\n"), std::string::npos);
  EXPECT_EQ(debug_.Text().find(".keep"), std::string::npos);
}

TEST_F(MdmlinksTest, OtherCommandLinesDoNothing) {
  for (const char* line : {"D", "-d", " d", "x"}) {
    mdmlinks::RunLinks(line);
    EXPECT_FALSE(fs::exists(root_ / "Start Menu")) << line;
  }
  mdmlinks::RunLinks("");
  for (const char* line : {"D", "-d"}) {
    EXPECT_EQ(mdmlinks::RunLinks(line), 0);
    ExpectBothLinks(Group());
  }
}

TEST_F(MdmlinksTest, ProgramsPathEndingInSeparatorGetsNoSecondOne) {
  const std::string programs = Platform(root_ / "Custom") + "\\";
  platform::shell::SetSpecialFolder(CSIDL_PROGRAMS, programs);
  mdmlinks::RunLinks("");
  ExpectBothLinks(root_ / "Custom" / "USB Modem Utility 02");
  ASSERT_EQ(platform::shell::ChangeNotices().size(), 1u);
  EXPECT_EQ(platform::shell::ChangeNotices()[0].item1, programs + "USB Modem Utility 02");
  mdmlinks::RunLinks("d");
  EXPECT_NE(debug_.Text().find("Delete: " + programs + "USB Modem Utility 02\\USB Modem Update"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "Custom" / "USB Modem Utility 02"));
}

// A root so long that the Programs path itself does not fit: nothing is made, nothing overruns.
TEST_F(MdmlinksTest, RootTooLongForAnyPathIsSurvived) {
  const fs::path longRoot = root_ / std::string(250, 'r');
  UseRoot(longRoot);
  EXPECT_EQ(mdmlinks::RunLinks(""), 0);
  EXPECT_EQ(mdmlinks::RunLinks("d"), 0);
  EXPECT_TRUE(platform::shell::ChangeNotices().empty());
  EXPECT_FALSE(fs::exists(longRoot / "Start Menu" / "Programs" / "USB Modem Utility 02"));
}

// The group path is 236 characters: "…\USB Modem Update.lnk" fits, "…\USB Modem Uninstall.lnk"
// would need 260 characters and a terminator, one more than the buffer holds, and is not made.
TEST_F(MdmlinksTest, ShortcutWhosePathDoesNotFitIsSkipped) {
  const std::size_t pad = 236 - Platform(Group()).size() - 1;
  const fs::path longRoot = root_ / std::string(pad, 'r');
  UseRoot(longRoot);
  const fs::path group = longRoot / "Start Menu" / "Programs" / "USB Modem Utility 02";
  ASSERT_EQ(Platform(group).size(), 236u);
  mdmlinks::RunLinks("");
  EXPECT_EQ(Names(group), std::vector<std::string>{"USB Modem Update.lnk"});
  EXPECT_EQ(Decode(group / "USB Modem Update.lnk").target,
            Platform(longRoot / "Windows" / "MDMFLASH.EXE"));
  mdmlinks::RunLinks("d");
  EXPECT_FALSE(fs::exists(group));
}

TEST_F(MdmlinksTest, CreateLinkReportsEachFailure) {
  const std::string link = Platform(root_ / "missing" / "a.lnk");
  EXPECT_EQ(mdmlinks::CreateLink("C:\\A.EXE", link.c_str(), "A"), CO_E_NOTINITIALIZED);
  EXPECT_EQ(debug_.Text(), "CoCreateInstance() failed\n");
  debug_.Clear();
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(mdmlinks::CreateLink("C:\\A.EXE", link.c_str(), "A"),
            HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  CoUninitialize();
  EXPECT_EQ(debug_.Text(), "");
}

}  // namespace
}  // namespace links_test
