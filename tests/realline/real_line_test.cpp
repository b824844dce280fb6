// The built mdmflash updates modems on real serial lines, in real time, against peers nobody
// here wrote: a scripted modem on a pseudo-terminal whose ZModem receiver is lrzsz's `rz`,
// reached through the terminal's dosdevices link or through ser2net's RFC 2217 server, and a
// simulated USB modem served by `mdmsim serve` over RFC 2217. The port is listed in the
// registry with mdmreg and the modem lines of a line that has none are declared beside its link
// (comN.lines), as a user sets a port up by hand.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background_program.h"
#include "tests/support/pyserial.h"
#include "tests/support/run_program.h"
#include "tests/support/session_log.h"
#include "tests/support/tcp_port.h"
#include "tests/support/temp_root.h"
#include "tests/ui/mdmflash_run.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::BackgroundProgram;
using testing_support::kPython;
using testing_support::ProgramResult;
using testing_support::ProgramRun;
using testing_support::ReadWholeFile;
using testing_support::RunProgram;
using testing_support::TempRoot;

constexpr char kSer2net[] = "/usr/sbin/ser2net";
constexpr char kSerialPortKey[] = "HKLM\\Hardware\\Devicemap\\Serialcomm";

// How mdmflash reaches the modem.
enum class Route {
  kTerminal,  // the dosdevices link names the pseudo-terminal
  kSer2net,   // the link is an rfc2217:// address of ser2net, which serves the pseudo-terminal
};

const char* RouteName(Route route) {
  return route == Route::kTerminal ? "terminal" : "ser2net";
}

// ---------------------------------------------------------------------------------------------
// Images

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// Mostly bytes the sender must escape on the line (ZDLE, DLE, XON, XOFF with and without their
// top bit, a carriage return after "@", 0xFF), between random ones so that they meet every
// neighbour, and runs of them longer than a frame's end.
std::string EscapeHeavyBytes(std::size_t size) {
  static const std::string kEscaped = {'\x18', '\x10', '\x90', '\x11', '\x91', '\x13', '\x93',
                                       '@',    '\r',   '\xc0', '\x8d', '\xff', '\x7f', '\x18',
                                       '\x18', '@',    '\x8d', '*',    '\x18', 'B'};
  std::string random = RandomBytes(size, 93);
  std::string bytes;
  bytes.reserve(size);
  for (std::size_t i = 0; bytes.size() < size; ++i) {
    bytes += i % 5 == 4 ? random[i] : kEscaped[i % kEscaped.size()];
  }
  return bytes;
}

struct Image {
  const char* name;
  std::string bytes;
};

// ---------------------------------------------------------------------------------------------
// The rig: a platform root for mdmflash and the programs on the other end of its line.

// The log of an update of the one modem, on `port`, that succeeds at its first attempt.
std::string UpdatedLog(const std::string& port) {
  using namespace session_log;
  return std::string(kStarted) + kSearching + port + ", USB_Modem,  + Modem_Code\r\n\r\n" +
         kSelect + Check(port) + kTransfer + kDone + kFinished;
}

// Whether 127.0.0.1:port is listening, as the kernel's socket table has it.
bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;
  }
  return false;
}

class RealLine : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root.path() / "dosdevices");
    fs::create_directories(received);
  }

  static bool Have(const std::string& program) { return ::access(program.c_str(), X_OK) == 0; }
  static bool HaveRz() { return Have("/usr/bin/rz"); }

  fs::path Link(const std::string& port) const {
    std::string name = port;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return root.path() / "dosdevices" / name;
  }

  // The serial-port map's entry, as the driver writes it: name and data are the port name.
  void ListPort(const std::string& port) {
    ProgramResult set =
        RunProgram(MDMREG_PATH, {"set", kSerialPortKey, port, "REG_SZ", port}, root.path());
    ASSERT_EQ(set.exitCode, 0) << set.err;
  }

  // Starts the scripted modem; its terminal's path, or "" when it did not start. `link` is
  // empty for a terminal that only ser2net opens.
  std::string StartModem(const std::string& link, const std::vector<std::string>& behaviour = {}) {
    std::vector<std::string> args{SCRIPTED_MODEM, link.empty() ? "-" : link, received.string()};
    args.insert(args.end(), behaviour.begin(), behaviour.end());
    fs::create_directories(root.path() / "modem");
    modem.emplace(kPython, args, root.path() / "modem", std::map<std::string, std::string>{});
    if (!modem->AwaitOutput("\n", 10s)) return "";
    std::string out = modem->out();
    return out.rfind("ready ", 0) == 0 ? out.substr(6, out.find('\n') - 6) : "";
  }

  // ser2net serving `terminal` on `tcpPort` (telnet with RFC 2217), `local`: the terminal's
  // modem lines are not looked at. True once it listens.
  bool StartSer2net(const std::string& terminal, int tcpPort) {
    const fs::path folder = root.path() / "ser2net";
    fs::create_directories(folder);
    std::ofstream(folder / "ser2net.yaml")
        << "connection: &con0\n"
        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << tcpPort << "\n"
        << "  connector: serialdev," << terminal << ",9600n81,local\n";
    ser2net.emplace(kSer2net,
                    std::vector<std::string>{"-n", "-d", "-c", (folder / "ser2net.yaml").string(),
                                             "-P", (folder / "ser2net.pid").string()},
                    folder, std::map<std::string, std::string>{});
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(20ms)) {
      if (Listening(tcpPort)) return true;
    }
    return false;
  }

  // The port's link names an RFC 2217 server; the lines that its line does not report are
  // declared beside it.
  void LinkRfc2217(const std::string& port, int tcpPort, bool declareLines) {
    fs::create_symlink("rfc2217://127.0.0.1:" + std::to_string(tcpPort), Link(port));
    if (declareLines) std::ofstream(Link(port).string() + ".lines") << "cts dsr\n";
  }

  fs::path WriteImage(const Image& image) const {
    fs::path file = root.path() / image.name;
    std::ofstream(file, std::ios::binary) << image.bytes;
    return file;
  }

  // mdmflash without a window, the image given, its log saved; the wall time of the run is
  // printed for the record (not judged).
  ProgramResult Update(const fs::path& image, const std::string& what) {
    const auto start = std::chrono::steady_clock::now();
    ProgramResult run = RunProgram(
        MDMFLASH_PATH, {"--headless", "--image", image.string(), "--save-log", logFile.string()},
        root.path(), ProgramRun{{{"DISPLAY", ""}}, 85s});
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("[ wall     ] %s: %.1f s\n", what.c_str(), took.count());
    std::fflush(stdout);
    return run;
  }

  void ExpectSavedLog(const ProgramResult& run) const {
    EXPECT_EQ(ui_test::WithoutTimes(ReadWholeFile(logFile)), ui_test::Record(run.out));
  }

  // Stops the modem with SIGTERM (exit 0 is its ordinary end) unless it has ended already.
  void StopModem() {
    if (modem) modem->Stop(SIGTERM, 10s);
  }

  TempRoot root;
  const fs::path received = root.path() / "received";
  const fs::path logFile = root.path() / "update.log";
  std::optional<BackgroundProgram> modem;
  std::optional<BackgroundProgram> ser2net;
};

// ---------------------------------------------------------------------------------------------
// Updates

struct UpdateCase {
  Route route;
  Image image;
};

// What ctest shows of a case.
void PrintTo(const UpdateCase& c, std::ostream* out) {
  *out << RouteName(c.route) << ", " << c.image.name << ", " << c.image.bytes.size() << " bytes";
}

class RealLineUpdate : public RealLine, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(RealLineUpdate, RzReceivesTheImageByteForByteInATypicalSession) {
  const UpdateCase& c = GetParam();
  if (!HaveRz()) GTEST_SKIP() << "rz is missing (Debian package lrzsz)";
  if (c.route == Route::kSer2net) {
    if (!Have(kSer2net)) GTEST_SKIP() << "ser2net is missing (Debian package ser2net)";
  }
  const fs::path image = WriteImage(c.image);
  ListPort("COM5");
  if (c.route == Route::kTerminal) {
    ASSERT_NE(StartModem(Link("COM5").string()), "") << modem->err();
  } else {
    std::string terminal = StartModem("");
    ASSERT_NE(terminal, "") << modem->err();
    const int tcpPort = testing_support::FreeTcpPort();
    ASSERT_TRUE(StartSer2net(terminal, tcpPort)) << ser2net->err();
    LinkRfc2217("COM5", tcpPort, true);  // a terminal behind ser2net reports no lines
  }

  ProgramResult run = Update(image, std::string(RouteName(c.route)) + ", " + c.image.name + ", " +
                                        std::to_string(c.image.bytes.size()) + " bytes");
  ASSERT_TRUE(run.inTime) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, UpdatedLog("COM5"));
  ExpectSavedLog(run);
  EXPECT_TRUE(ReadWholeFile(received / c.image.name) == c.image.bytes)
      << "rz wrote " << ReadWholeFile(received / c.image.name).size() << " bytes of "
      << c.image.bytes.size() << "\n"
      << modem->out() << modem->err();
  StopModem();
}

std::string CaseName(const ::testing::TestParamInfo<UpdateCase>& info) {
  std::string name = std::string(RouteName(info.param.route)) + "_" + info.param.image.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Images, RealLineUpdate,
    ::testing::Values(UpdateCase{Route::kTerminal, {"one.bin", "\x5a"}},
                      UpdateCase{Route::kTerminal, {"thousand.bin", RandomBytes(1000, 1)}},
                      UpdateCase{Route::kTerminal, {"escapes.bin", EscapeHeavyBytes(70000)}},
                      UpdateCase{Route::kTerminal, {"random.bin", RandomBytes(200 * 1024, 2)}},
                      UpdateCase{Route::kSer2net, {"thousand.bin", RandomBytes(1000, 1)}},
                      UpdateCase{Route::kSer2net, {"escapes.bin", EscapeHeavyBytes(70000)}},
                      UpdateCase{Route::kSer2net, {"random.bin", RandomBytes(200 * 1024, 2)}}),
    CaseName);

// A simulated USB modem that mdmsim serves over RFC 2217 (through mdmcore, in real time), with
// its own ZModem receiver: its flash check, which the update's success needs, passes only when
// the image arrived whole, as long as the file information announced it.
TEST_F(RealLine, MdmsimServesASimulatedModemThatTakesTheImage) {
  const fs::path servedRoot = root.path() / "served";
  fs::create_directories(servedRoot);
  const int tcpPort = testing_support::FreeTcpPort();
  BackgroundProgram serve(MDMSIM_PATH,
                          {"serve", "--modems", "1", "--rfc2217-port", std::to_string(tcpPort)},
                          servedRoot, {{"MDM_ROOT", servedRoot.string()}});
  ASSERT_TRUE(serve.AwaitOutput("serving in real time", 30s)) << serve.err();
  ListPort("COM3");
  LinkRfc2217("COM3", tcpPort, false);  // the server reports the modem's own lines
  const fs::path image = WriteImage({"image.bin", RandomBytes(1000, 5)});

  ProgramResult run = Update(image, "mdmsim serve, image.bin, 1000 bytes");
  ASSERT_TRUE(run.inTime) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, UpdatedLog("COM3"));
  ExpectSavedLog(run);
  EXPECT_EQ(serve.Stop(SIGTERM, 30s), 128 + SIGTERM) << serve.err();
}

// ---------------------------------------------------------------------------------------------
// Failures on a real line

// One failed transfer as the log shows it, `sent` when data had started to go.
std::string FailedAttempt(bool sent) {
  using namespace session_log;
  std::string log = std::string(kSelect) + Check("COM5") + "\r\nUpdate started...\r\n";
  if (sent) log += "\r\nSending firmware to modem ...\r\n";
  return log + kFailedTwice;
}

std::string GivenUpLog(bool sent) {
  using namespace session_log;
  std::string log = std::string(kStarted) + kSearching + "COM5, USB_Modem,  + Modem_Code\r\n\r\n";
  for (int attempt = 0; attempt < 3; ++attempt) log += FailedAttempt(sent);
  return log + "Update has been started 3 times. Give up!!!\r\n" + kFinished;
}

class RealLineFailure : public RealLine {
 protected:
  // The scripted modem with `behaviour` on COM5's link, and an image of 20 frames.
  fs::path Prepare(const std::vector<std::string>& behaviour) {
    ListPort("COM5");
    EXPECT_NE(StartModem(Link("COM5").string(), behaviour), "") << modem->err();
    return WriteImage({"image.bin", RandomBytes(10 * 1024, 3)});
  }
};

// The receiver breaks off in the middle of the data (rz, stopped, sends its cancel): every
// attempt fails at once, the modem is brought into download mode again with "x", and after the
// third failure it is given up.
TEST_F(RealLineFailure, AReceiverThatBreaksOffIsTriedThreeTimesThenGivenUp) {
  if (!HaveRz()) GTEST_SKIP() << "rz is missing (Debian package lrzsz)";
  fs::path image = Prepare({"--cancel-after", "3000"});
  ProgramResult run = Update(image, "terminal, receiver breaks off three times");
  ASSERT_TRUE(run.inTime) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(run.out, GivenUpLog(true));
  ExpectSavedLog(run);
  // Each attempt reached rz, which broke off; the closed port reset the modem for the next.
  std::string events = modem->out();
  int cancelled = 0;
  for (std::size_t at = 0; (at = events.find("rz started\nrz cancelled\n", at)) != events.npos;
       ++at) {
    ++cancelled;
  }
  EXPECT_EQ(cancelled, 3) << events;
  StopModem();
}

// The modem goes quiet once its receiver has started: no ZRINIT within the first answer's wait
// (6 s), three times. (Quiet later in the transfer, each attempt would wait a minute.)
TEST_F(RealLineFailure, AModemThatStopsAnsweringIsTriedThreeTimesThenGivenUp) {
  if (!HaveRz()) GTEST_SKIP() << "rz is missing (Debian package lrzsz)";
  fs::path image = Prepare({"--silent-after", "0"});
  ProgramResult run = Update(image, "terminal, modem quiet three times");
  ASSERT_TRUE(run.inTime) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 1) << run.err;
  std::string log = GivenUpLog(false);
  // No answer at all: the sender's wait reports nothing of its own to the log.
  EXPECT_EQ(run.out, log);
  ExpectSavedLog(run);
  StopModem();
}

// A link whose terminal is gone (its master side closed) and one that names something that is
// no serial device: neither port opens, so neither is a USB modem, and nothing is updated.
TEST_F(RealLineFailure, APortWhoseDeviceIsGoneOrNoSerialDeviceIsSkipped) {
  fs::path image = WriteImage({"image.bin", RandomBytes(1000, 4)});
  std::string terminal = StartModem(Link("COM5").string());
  ASSERT_NE(terminal, "") << modem->err();
  StopModem();  // its terminal goes with it; the link stays
  ASSERT_FALSE(fs::exists(terminal));
  fs::create_symlink("/dev/null", Link("COM6"));
  ListPort("COM5");
  ListPort("COM6");
  ProgramResult run = Update(image, "terminal gone, no serial device");
  ASSERT_TRUE(run.inTime) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 3) << run.err;  // no USB modem found
  using namespace session_log;
  EXPECT_EQ(run.out, std::string(kStarted) + kSearching + "COM5,  ! USB_Modem\r\n\r\n" +
                         "COM6,  ! USB_Modem\r\n\r\n");
  ExpectSavedLog(run);
}

// The modem's side of the line vanishes in the middle of the data (the pseudo-terminal's master
// closes, as a USB serial adapter pulled out): the transfer fails without waiting out the
// answer's minute, and the next attempt finds no port to open. Nothing hangs.
TEST_F(RealLineFailure, ADeviceThatVanishesMidTransferFailsTheUpdateCleanly) {
  if (!HaveRz()) GTEST_SKIP() << "rz is missing (Debian package lrzsz)";
  fs::path image = Prepare({"--vanish-after", "3000"});
  ProgramResult run = Update(image, "terminal, device vanishes");
  ASSERT_TRUE(run.inTime) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 1) << run.err;
  using namespace session_log;
  EXPECT_EQ(run.out, std::string(kStarted) + kSearching + "COM5, USB_Modem,  + Modem_Code\r\n\r\n" +
                         FailedAttempt(true) + kSelect + Check("COM5") + kFinished);
  ExpectSavedLog(run);
  EXPECT_NE(modem->out().find("vanished"), std::string::npos) << modem->out();
}

}  // namespace
