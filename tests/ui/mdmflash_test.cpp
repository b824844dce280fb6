// mdmflash as a user runs it without a display: its version facts, its usage, and headless runs
// in a fresh platform root, whose log goes to standard output and, with --save-log, into the log
// file as Save Log's record.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/ui/mdmflash_run.h"

namespace ui_test {
namespace {

constexpr char kStart[] = "Modem update tool started.\r\n\r\nSearching for USB-Modems ...\r\n\r\n";

TEST(MdmflashProgram, VersionPrintsTheVersionFacts) {
  TempRoot root;
  ProgramResult run = Mdmflash(root, {"--version"});
  EXPECT_EQ(run.exitCode, 0);
  // The project's one version leads; the version resource keeps its own figures.
  EXPECT_EQ(run.out.rfind("mdmflash 1.0.0.1\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("\nVersion resource: USB Modem Update Utility, USB Modem, internal name "
                         "mdmflash, file version 2, 0, 0, 1 (1.0.0.1), product version 1, 0, 0, "
                         "1\n"),
            std::string::npos)
      << run.out;
}

TEST(MdmflashProgram, BadOptionsGiveTheUsageAndExitCode2) {
  TempRoot root;
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"}, {"--same-image", "maybe"}, {"--confirm-cancel"}, {"stray-word"}};
  for (const auto& args : bad) {
    SCOPED_TRACE(args.front());
    ProgramResult run = Mdmflash(root, args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("Usage:"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--save-log"), std::string::npos);
    EXPECT_EQ(run.out, "");  // no session was started
  }
  ProgramResult help = Mdmflash(root, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--headless"), std::string::npos);
  EXPECT_NE(help.out.find("3 no USB modem found"), std::string::npos);
}

TEST(MdmflashHeadless, AFreshRootWithoutAPortListSaysSoAndEnds) {
  TempRoot root;
  ProgramResult run = Mdmflash(root, {"--headless"});
  ASSERT_TRUE(run.inTime);
  EXPECT_EQ(run.exitCode, 3) << run.err;  // no USB modem found
  EXPECT_EQ(run.out.rfind(kStart, 0), 0u) << run.out;
  EXPECT_NE(run.out.find("(hardware\\devicemap\\serialcomm) cannot be read"), std::string::npos)
      << run.out;
}

TEST(MdmflashHeadless, SaveLogAppendsOneRecordPerRunByteForByte) {
  TempRoot root;
  ListPorts({});
  const fs::path logFile = root.path() / "update log.txt";
  std::ofstream(logFile, std::ios::binary) << "earlier\r\n";
  ProgramResult first = Mdmflash(root, {"--headless", "--save-log", logFile.string()});
  ProgramResult second = Mdmflash(root, {"--headless", "--save-log", logFile.string()});
  ASSERT_TRUE(first.inTime && second.inTime);
  EXPECT_EQ(first.exitCode, 3);  // an empty port list holds no USB modem
  // The log ends without a line end, and the record still holds its last character.
  EXPECT_EQ(first.out, "Modem update tool started.\r\nThere are no serial ports!");
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(WithoutTimes(ReadWholeFile(logFile)),
            "earlier\r\n" + Record(first.out) + Record(second.out));
}

TEST(MdmflashHeadless, ALogFileInAMissingFolderIsReportedAndNotCreated) {
  TempRoot root;
  ListPorts({});
  const fs::path logFile = root.path() / "no such folder" / "update.log";
  ProgramResult run = Mdmflash(root, {"--headless", "--save-log", logFile.string()});
  ASSERT_TRUE(run.inTime);
  EXPECT_EQ(run.exitCode, 4);  // the log was not saved
  EXPECT_NE(run.err.find("Cannot open the log file"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(logFile));
}

// A log that does not reach its file (a full disk, a FIFO nobody reads) is said to be lost, in
// its own exit status.
TEST(MdmflashHeadless, ALogThatCannotBeWrittenIsReportedWithItsOwnStatus) {
  TempRoot root;
  ListPorts({});
  const fs::path fifo = root.path() / "fifo.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& logFile : {std::string("/dev/full"), fifo.string()}) {
    SCOPED_TRACE(logFile);
    ProgramResult run = Mdmflash(root, {"--headless", "--save-log", logFile});
    ASSERT_TRUE(run.inTime);
    EXPECT_EQ(run.exitCode, 4) << run.err;
    EXPECT_NE(run.err.find("mdmflash: the log was not saved to " + logFile), std::string::npos)
        << run.err;
  }
}

// A closed standard output (`mdmflash ... | head -2`) does not end the run: it goes on to its
// own end and saves its log.
TEST(MdmflashHeadless, AClosedStandardOutputStillSavesTheLog) {
  TempRoot root;
  ListPorts({});
  const fs::path logFile = root.path() / "update.log";
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  ProgramRun how{{{"DISPLAY", ""}}, std::chrono::seconds(120)};
  how.output = ends[1];
  ProgramResult run =
      RunProgram(MDMFLASH_PATH, {"--headless", "--save-log", logFile.string()}, root.path(), how);
  ::close(ends[1]);
  ASSERT_TRUE(run.inTime);
  EXPECT_EQ(run.exitCode, 3) << run.err;  // no USB modem found
  EXPECT_EQ(WithoutTimes(ReadWholeFile(logFile)),
            Record("Modem update tool started.\r\nThere are no serial ports!"));
}

// The program is named after its executable's file name: a copy under another name titles its
// message boxes with that name.
TEST(MdmflashHeadless, MessageBoxesAreTitledWithTheExecutablesName) {
  TempRoot root;
  ListPorts({});
  const fs::path copy = root.path() / "Flash Tool.exe";
  fs::copy_file(MDMFLASH_PATH, copy);
  const fs::path logFile = root.path() / "no such folder" / "update.log";
  ProgramResult run = RunProgram(copy.string(), {"--headless", "--save-log", logFile.string()},
                                 root.path(), {{{"DISPLAY", ""}}, std::chrono::seconds(120)});
  ASSERT_TRUE(run.inTime);
  EXPECT_NE(run.err.find("Flash Tool: Cannot open the log file"), std::string::npos) << run.err;
}

// A port that another copy of the program holds open (here this test, through the same
// platform call) cannot be opened by a second copy, which lists it as having no modem.
TEST(MdmflashHeadless, APortHeldOpenByAnotherCopyIsListedWithoutAModem) {
  TempRoot root;
  int master = -1;
  int slave = -1;
  char slaveName[128];
  ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
  fs::create_directories(root.path() / "dosdevices");
  fs::create_symlink(slaveName, root.path() / "dosdevices" / "com3");
  ListPorts({"COM3"});
  HANDLE held = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  ProgramResult run = Mdmflash(root, {"--headless"});
  CloseHandle(held);
  ::close(slave);
  ::close(master);
  ASSERT_TRUE(run.inTime);
  EXPECT_EQ(run.exitCode, 3) << run.err;  // no USB modem found
  EXPECT_EQ(run.out.rfind(std::string(kStart) + "COM3,  ! USB_Modem\r\n\r\n", 0), 0u) << run.out;
}

// Each port passed over says why on the debugger output, which --debug copies to standard error
// time-stamped; without it, one line says where to look. The log stays as it is.
TEST(MdmflashHeadless, DebugSaysWhyEachPortWasPassedOver) {
  TempRoot root;
  const fs::path links = root.path() / "dosdevices";
  fs::create_directories(links);
  int masters[3];
  char slaves[3][128];
  for (int i = 0; i < 3; ++i) {
    int slave = -1;
    ASSERT_EQ(openpty(&masters[i], &slave, slaves[i], nullptr, nullptr), 0);
    ::close(slave);
  }
  const struct {
    std::string port;
    fs::path target;
    std::string why;
  } cases[] = {
      {"COM3", root.path() / "unplugged", "com3: cannot be opened: No such file or directory"},
      {"COM4", "/dev/null", "com4: not a serial device"},
      {"COM5", slaves[0], "com5: held by another program"},
      {"COM6", slaves[1], "com6: has no modem lines and no "},
      {"COM7", slaves[2], "com7.lines: no modem line \"dsx\""},
  };
  std::vector<std::string> ports;
  for (const auto& c : cases) {
    std::string link = c.port;
    for (char& ch : link) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    fs::create_symlink(c.target, links / link);
    ports.push_back(c.port);
  }
  std::ofstream(links / "com7.lines") << "cts dsx\n";
  ListPorts(ports);
  HANDLE held = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  ProgramResult debug = Mdmflash(root, {"--headless", "--debug"});
  ProgramResult plain = Mdmflash(root, {"--headless"});
  ProgramResult listed =
      RunProgram(MDMFLASH_PATH, {"--list"}, root.path(), {{{"DISPLAY", ""}, {"MDM_DEBUG", "1"}}});
  CloseHandle(held);
  for (int master : masters) ::close(master);
  ASSERT_TRUE(debug.inTime && plain.inTime && listed.inTime);
  EXPECT_EQ(debug.exitCode, 3);
  EXPECT_EQ(listed.exitCode, 3);
  for (const auto& c : cases) {
    const std::regex stamped("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} [^\n]*" +
                             std::regex_replace(c.why, std::regex("[.\"]"), "\\$&"));
    EXPECT_TRUE(std::regex_search(debug.err, stamped)) << c.why << " in\n" << debug.err;
    EXPECT_NE(listed.err.find(c.why), std::string::npos) << listed.err;
    EXPECT_NE(listed.out.find(c.port + ": no USB modem\n"), std::string::npos) << listed.out;
  }
  EXPECT_EQ(debug.out, plain.out);  // the log, byte for byte
  EXPECT_EQ(plain.exitCode, 3);
  EXPECT_EQ(plain.err, "mdmflash: no USB modem found; --debug says why each port was skipped\n");
}

}  // namespace
}  // namespace ui_test
