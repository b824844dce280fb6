// mdmsim as a user runs it: the scenario host's output and exit codes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramResult;
using testing_support::TempRoot;

ProgramResult Mdmsim(const TempRoot& root, const std::vector<std::string>& args) {
  return testing_support::RunProgram(MDMSIM_PATH, args, root.path());
}

TEST(MdmsimUpdate, TwoModemsWithOneImageArePreparedInTurn) {
  TempRoot root;
  std::string image = (root.path() / "fw.bin").string();
  std::ofstream(image, std::ios::binary) << std::string(2000, 'I');
  auto run = Mdmsim(root, {"update", "--link", "serial", "--modems", "2", "--same-image", "yes",
                           "--image", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto check = [](const char* port) {
    return "\r\nCheck the modem on " + std::string(port) + " for updating, please wait ...\r\n";
  };
  const std::string expectedStart =
      "Modem update tool started.\r\n\r\nSearching for USB-Modems ...\r\n\r\n"
      "COM3, USB_Modem,  + Modem_Code\r\n\r\nCOM4, USB_Modem,  + Modem_Code\r\n\r\n"
      "Select of an image file\r\n" +
      check("COM3");
  EXPECT_EQ(run.out.substr(0, expectedStart.size()), expectedStart);
  EXPECT_NE(run.out.find("successfully!\r\n" + check("COM4")), std::string::npos);
  EXPECT_NE(run.out.find("Update finished!\r\n"), std::string::npos);
  EXPECT_NE(run.out.find("[mdmsim] COM3: holds the image byte for byte\n"
                         "[mdmsim] COM4: holds the image byte for byte\n"),
            std::string::npos);
}

TEST(MdmsimUpdate, AModemThatFailsEveryTransferIsGivenUpAndTheRunFails) {
  TempRoot root;
  auto run =
      Mdmsim(root, {"update", "--link", "serial", "--modems", "2", "--fault", "bad-crc-ack@COM3"});
  EXPECT_EQ(run.exitCode, 1);
  std::string failed = "\r\nSorry, update failed.\r\nUpdate will be restarted\r\n";
  EXPECT_NE(run.out.find(failed + "Update has been started 3 times. Give up!!!\r\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("[mdmsim] COM3: does NOT hold the image"), std::string::npos);
  EXPECT_NE(run.out.find("[mdmsim] COM4: holds the image byte for byte"), std::string::npos);
  EXPECT_EQ(Mdmsim(root, {"update", "--fault", "gremlins"}).exitCode, 2);
}

TEST(MdmsimUpdate, PlainPortsAndModemsWithoutCodeAreListed) {
  TempRoot root;
  auto run = Mdmsim(root, {"update", "--link", "serial", "--modems", "2", "--plain-ports",
                           "COM1,COM3", "--no-modem-code", "COM5"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("COM1,  ! USB_Modem\r\n\r\nCOM3,  ! USB_Modem\r\n\r\n"
                         "COM4, USB_Modem,  + Modem_Code\r\n\r\n"
                         "COM5, USB_Modem,  - Modem_Code\r\n\r\n"),
            std::string::npos)
      << run.out;
}

// Through USB, the default: the driver binds the modem to COM3 beside the plain port COM1, the
// report names each modem's serial number and the driver's pool after the unload.
TEST(MdmsimUpdate, ThroughUsbByDefaultTheTypicalSessionEndsWithAnEmptyPool) {
  TempRoot root;
  auto run = Mdmsim(root, {"update", "--plain-ports", "COM1"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("COM1,  ! USB_Modem\r\n\r\nCOM3, USB_Modem,  + Modem_Code\r\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Update completed successfully!\r\nUpdate finished!\r\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("[mdmsim] COM3 (USB modem 0000A1B2C3D4): holds the image byte for byte\n"
                         "[mdmsim] pool: no block outstanding\n"),
            std::string::npos)
      << run.out;
}

TEST(MdmsimUpdate, ThroughUsbAFailedModemFailsTheRunAndTheNextStillUpdates) {
  TempRoot root;
  auto run =
      Mdmsim(root, {"update", "--link", "usb", "--modems", "2", "--fault", "bad-crc-ack@COM3"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("Update has been started 3 times. Give up!!!\r\n"), std::string::npos);
  EXPECT_NE(run.out.find("[mdmsim] COM3 (USB modem 0000A1B2C3D4): does NOT hold the image\n"
                         "[mdmsim] COM4 (USB modem 0000A1B2C3D5): holds the image byte for byte\n"
                         "[mdmsim] pool: no block outstanding\n"),
            std::string::npos)
      << run.out;
  // The driver numbers the modems itself, so a plain port cannot take a modem's COM number.
  EXPECT_EQ(Mdmsim(root, {"update", "--plain-ports", "COM3"}).exitCode, 1);
}

// A pipe would block the image's open, a device would be read without end, an image of 2 GiB
// would be read whole before the updater refuses it: only a regular file the updater can send is
// taken, and anything else is refused at once as a bad argument.
TEST(MdmsimUpdate, AnImageThatIsNoRegularFileIsRefusedAtOnce) {
  TempRoot root;
  const std::string fifo = (root.path() / "pipe.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path huge = root.path() / "huge.bin";
  std::ofstream(huge).close();
  fs::resize_file(huge, std::uintmax_t{1} << 31);  // sparse: no disk space taken
  const std::pair<std::string, const char*> refused[] = {
      {fifo, "not a regular file"},
      {"/dev/zero", "not a regular file"},
      {root.path().string(), "not a regular file"},
      {huge.string(), "larger than 2 GiB - 1 bytes"},
  };
  for (const auto& [image, why] : refused) {
    SCOPED_TRACE(image);
    ProgramResult run = testing_support::RunProgram(MDMSIM_PATH, {"update", "--image", image},
                                                    root.path(), {{}, std::chrono::seconds(60)});
    ASSERT_TRUE(run.inTime);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
  }
}

// Arguments that would change the run unsaid are refused, naming the bad part: a port name too
// long for the updater's port list, an empty fault port (every modem's), a negative parameter
// (the fault switched off).
TEST(MdmsimUpdate, ArgumentsThatWouldChangeTheRunUnsaidAreRefused) {
  TempRoot root;
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"--plain-ports", "COM1,COM12345"}, "not a port COM1 to COM255: COM12345"},
      {{"--fault", "unplug@"}, "unplug: no port after \"@\""},
      {{"--fault", "data-in-noise@COM3:p=-1"}, "\"p=-1\" must be a percentage"},
      {{"--fault", "sequence-gaps:n=-5"}, "\"n=-5\" must be a count"},
  };
  for (const auto& [extra, why] : refused) {
    SCOPED_TRACE(why);
    std::vector<std::string> args{"update"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProgramResult run = Mdmsim(root, args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");  // no session was started
  }
}

// Through USB the driver keeps four devices; a fifth modem would never be started and the run
// would fail its own checks. The limit is a bad argument, and --help says why.
TEST(MdmsimUpdate, TheNumberOfModemsIsLimitedPerLink) {
  TempRoot root;
  for (const char* count : {"5", "10"}) {
    ProgramResult run = Mdmsim(root, {"update", "--modems", count});
    EXPECT_EQ(run.exitCode, 2) << count;
    EXPECT_NE(run.err.find("at most 4 through --link usb"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");  // no session was started
  }
  ProgramResult help = Mdmsim(root, {"update", "--help"});
  EXPECT_NE(help.out.find("at most 4 through USB, as the driver keeps that many devices"),
            std::string::npos)
      << help.out;
}

// A fault's port names a modem in any case; a port without a modem is refused, as such a fault
// would never strike and its run would pass for the wrong reason.
TEST(MdmsimUpdate, AFaultsPortMatchesInAnyCaseAndMustHaveAModem) {
  TempRoot root;
  ProgramResult missing = Mdmsim(root, {"update", "--fault", "bad-crc-ack@COM99"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("--fault bad-crc-ack@COM99: no modem on COM99\n"), std::string::npos)
      << missing.err;
  EXPECT_EQ(Mdmsim(root, {"update", "--modems", "2", "--fault", "bad-crc-ack@COM5"}).exitCode, 2);
  ProgramResult lower =
      Mdmsim(root, {"update", "--link", "serial", "--modems", "2", "--fault", "bad-crc-ack@com3"});
  EXPECT_EQ(lower.exitCode, 1);
  EXPECT_NE(lower.out.find("[mdmsim] COM3: does NOT hold the image"), std::string::npos);
  EXPECT_NE(lower.out.find("[mdmsim] COM4: holds the image byte for byte"), std::string::npos);
}

TEST(Mdmsim, BadArgumentsGiveTheUsageAndExitCode2) {
  TempRoot root;
  EXPECT_EQ(Mdmsim(root, {}).exitCode, 2);
  EXPECT_EQ(Mdmsim(root, {"update", "--modems", "eleven"}).exitCode, 2);
  EXPECT_EQ(Mdmsim(root, {"update", "--link", "carrier-pigeon"}).exitCode, 2);
  auto help = Mdmsim(root, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("update"), std::string::npos);
  EXPECT_NE(help.out.find("chat"), std::string::npos);
}

// A bad command line names what is wrong with it, not something beside the point.
TEST(Mdmsim, BadCommandLinesSayWhatIsWrong) {
  TempRoot root;
  struct Case {
    std::vector<std::string> args;
    std::string says;
    std::string misleads;  // what it said before
  };
  const Case cases[] = {
      {{"serve", "--fault", "unplug@COM3:at=abc"},
       "parameter \"at=abc\" must be a number",
       "unknown fault"},
      {{"serve", "--fault", "unplug@COM3"},
       "\"unplug\" is a fault of mdmsim update",
       "unknown fault"},
      {{"serve", "--fault", "gremlins"}, "unknown fault \"gremlins\"", ""},
      {{"bogus"},
       "unknown subcommand \"bogus\"; the subcommands are call, chat, demo",
       "A subcommand is required"},
      {{"chat"}, "give the commands to send", "commands is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    ProgramResult run = Mdmsim(root, c.args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (!c.misleads.empty()) {
      EXPECT_EQ(run.err.find(c.misleads), std::string::npos) << run.err;
    }
  }
}

}  // namespace

namespace {

TEST(MdmsimDemo, RunsTheTourAndEndsWithBothModemsUpdated) {
  TempRoot root;
  auto run = Mdmsim(root, {"demo"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("COM4 < ati9\\r\\r\\nUSB high power, bus-powered function"),
            std::string::npos);
  EXPECT_NE(run.out.find("[demo] COM3 (USB modem 0000A1B2C3D4): holds the image byte for byte\n"
                         "[demo] COM4 (USB modem 0000A1B2C3D5): holds the image byte for byte\n"
                         "[demo] pool: no block outstanding\n"),
            std::string::npos)
      << run.out;
  auto at = run.out.find("[demo] platform root: ");
  ASSERT_NE(at, std::string::npos);
  std::string demoRoot = run.out.substr(at + 22, run.out.find(' ', at + 22) - at - 22);
  std::filesystem::remove_all(demoRoot);
}

// A run is a function of its scenario and seed: the same seeds give the same trace digest (every
// bus, request and COM-port event with its virtual time), also while other threads keep the
// machine's processors busy.
TEST(MdmsimUpdate, TheSameSeedGivesTheSameRunEvenOnABusyMachine) {
  TempRoot root;
  auto digest = [&](const std::vector<std::string>& args) {
    ProgramResult run = Mdmsim(root, args);
    EXPECT_EQ(run.out.find("CHECK FAILED"), std::string::npos) << run.out;
    auto at = run.out.find("[mdmsim] trace digest ");
    return at == std::string::npos ? std::string("none") : run.out.substr(at, 60);
  };
  const std::vector<std::vector<std::string>> runs = {
      {"update", "--seed", "47"}, {"update", "--seed", "120"}, {"update", "--seed", "3"}};
  std::vector<std::string> quiet;
  for (const auto& args : runs) quiet.push_back(digest(args));
  std::atomic<bool> busy{true};
  std::vector<std::thread> hogs;
  for (int i = 0; i < 3; ++i) {
    hogs.emplace_back([&busy] {
      while (busy.load(std::memory_order_relaxed)) {
      }
    });
  }
  for (std::size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(digest(runs[i]), quiet[i]);
  busy = false;
  for (std::thread& hog : hogs) hog.join();
  EXPECT_NE(quiet[0], quiet[1]);
}

// A call dropped as its last bytes go: the reader, which stops at as many bytes as were sent,
// ends inside the modem's NO CARRIER, and the bytes before it are still the call's, intact.
TEST(MdmsimCall, ADropAsTheLastBytesGoCutsTheNoCarrierAndKeepsTheCallIntact) {
  TempRoot root;
  ProgramResult run = Mdmsim(root, {"call", "--seed", "6342"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("COM3 -> COM4: 1506 of 1517 bytes intact"), std::string::npos) << run.out;
}

}  // namespace
