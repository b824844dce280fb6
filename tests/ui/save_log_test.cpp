// Save Log: the log file dialog and the bytes of the records it appends.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

class SaveLogTest : public UpdateHarness {
 protected:
  void SetUp() override {
    UpdateHarness::SetUp();
    lastLogPath[0] = '\0';
    MakeLogWindow();
    logFile = (root.path() / "update.log").string();
  }

  void Save() {
    fileAnswers.push_back(logFile);
    dialog.OnSaveLog();
  }

  std::string FileBytes() const {
    std::ifstream in(logFile, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string logFile;
};

// A record as the file holds it, its date and time left open.
const std::regex& Record(const std::string& body) {
  static std::regex pattern;
  pattern = std::regex(
      "\r\r\nKelvo Modem-Update-Log \\d\\d\\.\\d\\d\\.\\d{4} "
      "\\d\\d:\\d\\d:\\d\\d  >>>>\r\n" +
      body + "\r\n ------ <<<<\r\n");
  return pattern;
}

// Text mode writes each LF as CR LF, the CR of the log's own CR LF included; nothing of the log
// is left out, its last character neither.
TEST_F(SaveLogTest, TheWholeLogIsSavedInTextMode) {
  AppendLog("Modem update tool started.\r\n");
  AppendLog("x\r\n");
  Save();
  EXPECT_TRUE(std::regex_match(FileBytes(), Record("Modem update tool started.\r\r\nx\r\r\n")))
      << FileBytes();
}

TEST_F(SaveLogTest, AnEmptyLogGivesHeaderAndTrailerOnly) {
  Save();
  EXPECT_TRUE(std::regex_match(FileBytes(), Record(""))) << FileBytes();
}

TEST_F(SaveLogTest, TwoSavesAppendTwoRecords) {
  AppendLog("one\r\n");
  Save();
  AppendLog("two\r\n");
  Save();
  std::regex both("(\r\r\nKelvo Modem-Update-Log [^\r]*  >>>>\r\n[^]*?\r\n ------ <<<<\r\n){2}");
  std::string bytes = FileBytes();
  EXPECT_TRUE(std::regex_match(bytes, both)) << bytes;
  EXPECT_NE(bytes.find(">>>>\r\none\r\r\n\r\n ------"), std::string::npos);
  EXPECT_NE(bytes.find(">>>>\r\none\r\r\ntwo\r\r\n\r\n ------"), std::string::npos);
}

TEST_F(SaveLogTest, TheHeaderCarriesTodaysDate) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof(date), "%m.%d.%Y", &local);
  Save();
  EXPECT_EQ(FileBytes().substr(3, 34), std::string("Kelvo Modem-Update-Log ") + date + " ");
}

TEST_F(SaveLogTest, TheLogFileDialogIsAskedAsThePlatformDoes) {
  fileAnswers.push_back((root.path() / "logs" / "run1.hlg").string());
  std::filesystem::create_directories(root.path() / "logs");
  dialog.OnSaveLog();
  fileAnswers.push_back(std::nullopt);
  dialog.OnSaveLog();
  ASSERT_EQ(fileDialogs.size(), 2u);
  const ui::FileDialogRequest& first = fileDialogs[0];
  EXPECT_EQ(first.title, "Save update log as ...");
  EXPECT_EQ(first.filter,
            (std::vector<std::string>{"Firmware Update Logfiles", "*.hlg", "All files", "*.*"}));
  EXPECT_EQ(first.initialName, "*.log");
  EXPECT_EQ(first.flags, 0x82804u);
  EXPECT_EQ(first.structSize, 76u);
  EXPECT_EQ(first.owner, dialog.window);
  // The second dialog starts where the first ended; its cancel forgets the path.
  EXPECT_EQ(fileDialogs[1].initialName, "run1.hlg");
  std::string folder = (root.path() / "logs").string();
  std::replace(folder.begin(), folder.end(), '/', '\\');
  EXPECT_EQ(fileDialogs[1].initialFolder, folder);
  EXPECT_EQ(lastLogPath[0], '\0');
}

TEST_F(SaveLogTest, ANameWithoutExtensionIsUsedAsItIs) {
  logFile = (root.path() / "plain name ü").string();
  Save();
  EXPECT_TRUE(std::filesystem::exists(logFile));
  EXPECT_TRUE(questions.empty());
}

TEST_F(SaveLogTest, AFileThatCannotBeOpenedIsReportedAndNothingIsWritten) {
  logFile = (root.path() / "missing" / "update.log").string();
  Save();
  // A file another program holds open exclusively.
  std::string inUse = (root.path() / "in-use.log").string();
  std::ofstream(inUse) << "kept";
  HANDLE holder = CreateFileA(inUse.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  fileAnswers.push_back(inUse);
  dialog.OnSaveLog();
  CloseHandle(holder);
  ASSERT_EQ(questions.size(), 2u);
  for (const ui::MessageBoxRequest& box : questions) {
    EXPECT_EQ(box.text, "Cannot open the log file");
    EXPECT_EQ(box.caption, "mdmflash");
    EXPECT_EQ(box.type, MB_OK | MB_ICONWARNING);
  }
  EXPECT_FALSE(std::filesystem::exists(logFile));
  std::ifstream in(inUse);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            "kept");
}

TEST_F(SaveLogTest, ALogOfSeveralMegabytesIsSavedWhole) {
  std::string line(1000, 'L');
  line += "\r\n";
  for (int i = 0; i < 3000; ++i) AppendLog(line.c_str());
  Save();
  // Every CR LF of the log becomes CR CR LF.
  EXPECT_EQ(FileBytes().size(), 53 + 3000 * 1003 + 16);
}

}  // namespace
}  // namespace update_test
