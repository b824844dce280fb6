// mdmsim serve in real time: simulated USB modems through mdmcore, their COM ports used by
// programs nobody here wrote (pyserial's RFC 2217 client, lrzsz) and by programs on the
// terminals, which hang up when the carrier drops.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background_program.h"
#include "tests/support/pyserial.h"
#include "tests/support/run_program.h"
#include "tests/support/tcp_port.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::BackgroundProgram;
using testing_support::kPython;
using testing_support::ProgramRun;
using testing_support::RunProgram;
using testing_support::TempRoot;

// Writes `command` to the terminal and reads until "OK\r\n" or ten seconds have passed.
std::string AskOnTerminal(const fs::path& terminal, const std::string& command) {
  int fd = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return "cannot open " + terminal.string();
  termios raw{};
  ::tcgetattr(fd, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(fd, TCSANOW, &raw);
  std::string answer;
  if (::write(fd, command.data(), command.size()) == static_cast<ssize_t>(command.size())) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (answer.find("OK\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd wait{fd, POLLIN, 0};
      if (::poll(&wait, 1, 100) <= 0) continue;
      char buffer[256];
      ssize_t count = ::read(fd, buffer, sizeof(buffer));
      if (count > 0) answer.append(buffer, static_cast<std::size_t>(count));
    }
  }
  ::close(fd);
  return answer;
}

// A program on a served terminal: opened as serial programs open a line (not as their
// controlling terminal), raw, CLOCAL off as a new terminal has it.
class TerminalUser {
 public:
  explicit TerminalUser(const fs::path& link) : fd_(::open(link.c_str(), O_RDWR | O_NOCTTY)) {
    termios raw{};
    ::tcgetattr(fd_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd_, TCSANOW, &raw);
  }
  ~TerminalUser() { Close(); }
  TerminalUser(const TerminalUser&) = delete;
  TerminalUser& operator=(const TerminalUser&) = delete;

  bool open() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Send(const std::string& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until what came holds `text`; false when time ran out or the terminal hung up.
  bool Await(const std::string& text, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (heard_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome()) return false;
    }
    return true;
  }
  // Reads until the terminal hangs up (a read ends the file, or fails with EIO); false when it
  // has not after `limit`.
  bool AwaitHangUp(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!ReadSome()) return hungUp_;
    }
    return false;
  }
  short Poll() {
    pollfd wait{fd_, POLLIN, 0};
    return ::poll(&wait, 1, 0) == 1 ? wait.revents : 0;
  }
  const std::string& heard() const { return heard_; }

 private:
  // False once the terminal has hung up (or fails otherwise).
  bool ReadSome() {
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, 100) <= 0) return true;
    char buffer[256];
    ssize_t count = ::read(fd_, buffer, sizeof(buffer));
    if (count > 0) {
      heard_.append(buffer, static_cast<std::size_t>(count));
      return true;
    }
    hungUp_ = count == 0 || errno == EIO;
    return false;
  }

  int fd_;
  std::string heard_;
  bool hungUp_ = false;
};

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the server closes the connection; false when it is still open after `limit`.
bool ClosedByServer(int fd, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 100) <= 0) continue;
    if (::recv(fd, buffer, sizeof(buffer), 0) <= 0) return true;
  }
  return false;
}

void Send(int fd, const std::string& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// Each case serves two modems from a fresh platform root of its own.
class MdmsimServe : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(scratch); }

  // Starts `mdmsim serve --modems 2` with `extra` arguments; true once it serves.
  bool Serve(std::vector<std::string> extra) {
    std::vector<std::string> args{"serve", "--modems", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    serve.emplace(MDMSIM_PATH, args, root.path(),
                  std::map<std::string, std::string>{{"MDM_ROOT", root.path().string()}});
    return serve->AwaitOutput("serving in real time", 30s);
  }
  fs::path Terminal(const char* name) const { return root.path() / "dosdevices" / name; }

  // `sz` on COM3's terminal sends a file of `size` bytes of every value to `rz` on COM4's
  // across a call at 1 Mbit/s; the file arrives byte for byte.
  void CarryAcrossACall(std::size_t size, std::vector<std::string> serveArgs) {
    const fs::path received = root.path() / "received";
    fs::create_directories(received);
    if (RunProgram("/bin/sh", {"-c", "command -v sz && command -v rz"}, scratch).exitCode != 0) {
      GTEST_SKIP() << "sz and rz are missing (Debian package lrzsz)";
    }
    std::string bytes(size, '\0');
    std::uint32_t state = 2217;
    for (char& byte : bytes) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<char>(state >> 24);  // every byte value, escapes included
    }
    const fs::path file = root.path() / "image.bin";
    std::ofstream(file, std::ios::binary) << bytes;
    serveArgs.insert(serveArgs.end(), {"--line-rate", "1000000"});
    ASSERT_TRUE(Serve(serveArgs)) << serve->err();
    auto run = RunProgram("/bin/bash",
                          {LRZSZ_CALL, root.path().string(), file.string(), received.string()},
                          scratch, ProgramRun{{}, 85s});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "connected\nsent\n");
    auto compared =
        RunProgram("/usr/bin/cmp", {file.string(), (received / "image.bin").string()}, scratch);
    EXPECT_EQ(compared.exitCode, 0) << compared.out << compared.err;  // the first difference
    EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
  }

  TempRoot root;
  const fs::path scratch = root.path() / "scratch";
  const int port = testing_support::FreeTcpPort();
  std::optional<BackgroundProgram> serve;
};

TEST_F(MdmsimServe, RealProgramsUseTheServedPortsUntilAStopRemovesThem) {
  if (!testing_support::HavePyserial(scratch))
    GTEST_SKIP() << "pyserial is missing (Debian package python3-serial)";
  ASSERT_TRUE(Serve({"--rfc2217-port", std::to_string(port)})) << serve->err();
  EXPECT_NE(serve->out().find("COM3: USB modem 0000A1B2C3D4, number 3, on /dev/pts/"),
            std::string::npos);
  // The lines the port shows, declared beside the link for programs that open the terminal as a
  // COM port (the terminal itself has none), once the modem's first status has come.
  std::string declared;
  for (auto until = std::chrono::steady_clock::now() + 10s;
       declared != "cts dsr" && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(20ms);
    std::ifstream lines(root.path() / "dosdevices" / "com3.lines");
    std::getline(lines, declared);
  }
  EXPECT_EQ(declared, "cts dsr");

  ProgramRun bounded{{}, 60s};
  auto client = RunProgram(kPython, {RFC2217_CLIENT, "rfc2217://127.0.0.1:" + std::to_string(port)},
                           scratch, bounded);
  EXPECT_EQ(client.exitCode, 0) << client.err;
  EXPECT_NE(client.out.find("USB high power, bus-powered function\\r\\n\\r\\nOK"),
            std::string::npos)
      << client.out;
  EXPECT_NE(client.out.find("lines cts=1 dsr=1 cd=0 ri=0"), std::string::npos) << client.out;

  std::string answer = AskOnTerminal(Terminal("com4"), "ati9\r\n");
  EXPECT_NE(answer.find("USB high power, bus-powered function\r\n\r\nOK\r\n"), std::string::npos)
      << answer;

  EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
  EXPECT_NE(serve->err().find("stopped by SIGTERM"), std::string::npos);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Terminal("com3"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Terminal("com4"))));
  EXPECT_FALSE(fs::exists(root.path() / "dosdevices" / "com3.lines"));
}

// The served ports are in the root's serial-port map while served, so that mdmflash in the same
// root finds the modems without a hidden step; serve logs each program and client that comes
// and goes, and each firmware update with its result.
TEST_F(MdmsimServe, MdmflashInTheSameRootFindsAndUpdatesTheModemsAndServeSaysSo) {
  ASSERT_TRUE(Serve({"--rfc2217-port", std::to_string(port)})) << serve->err();
  ProgramRun flash{{{"DISPLAY", ""}}, 80s};
  auto listed = RunProgram(MDMFLASH_PATH, {"--list"}, scratch, flash);
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_NE(listed.out.find("COM3: USB modem with modem code\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("  USB high power, bus-powered function\n"), std::string::npos);
  EXPECT_TRUE(serve->AwaitOutput("[mdmsim] COM3: a program opened /dev/pts/", 10s));
  EXPECT_TRUE(serve->AwaitOutput("[mdmsim] COM3: the program closed /dev/pts/", 10s));

  int client = Connect(port);
  ASSERT_GE(client, 0);
  EXPECT_TRUE(serve->AwaitOutput("[mdmsim] COM3: RFC 2217 client 127.0.0.1:", 10s));
  ::close(client);
  EXPECT_TRUE(serve->AwaitOutput("[mdmsim] COM3: RFC 2217 client left", 10s)) << serve->out();

  const fs::path image = root.path() / "fw.bin";
  std::ofstream(image, std::ios::binary) << std::string(1500, 'I');
  auto updated =
      RunProgram(MDMFLASH_PATH, {"--headless", "--image", image.string(), "--same-image", "yes"},
                 scratch, flash);
  EXPECT_EQ(updated.exitCode, 0) << updated.out << updated.err;
  EXPECT_TRUE(serve->AwaitOutput(
      "[mdmsim] COM4: firmware update done, flash check OK (1500 image bytes", 10s))
      << serve->out();
  EXPECT_NE(serve->out().find("[mdmsim] COM3: firmware update done, flash check OK"),
            std::string::npos);

  EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
  auto after = RunProgram(MDMFLASH_PATH, {"--list"}, scratch, flash);
  EXPECT_EQ(after.exitCode, 3);
  EXPECT_EQ(after.out, "There are no serial ports.\n");  // only what serve listed is gone
}

// Clients that break the protocol or vanish are dropped, and the port serves the next client;
// a client that floods the port's input is served as fast as the modem takes it.
TEST_F(MdmsimServe, HostileClientsAreDroppedAndDisturbNoOtherPort) {
  ASSERT_TRUE(Serve({"--rfc2217-port", std::to_string(port)})) << serve->err();
  const std::string open = "\xff\xfb\x2c\xff\xfd\x2c";  // IAC WILL 44, IAC DO 44

  int endless = Connect(port + 1);  // a subnegotiation that never ends
  ASSERT_GE(endless, 0);
  Send(endless, open + "\xff\xfa\x2c" + std::string(2000, 'x'));
  EXPECT_TRUE(ClosedByServer(endless, 10s));
  ::close(endless);

  int broken = Connect(port + 1);  // a subnegotiation ended by something but IAC SE
  ASSERT_GE(broken, 0);
  Send(broken, open + "\xff\xfa\x2c\x01\xff\x41");
  EXPECT_TRUE(ClosedByServer(broken, 10s));
  ::close(broken);

  int vanished = Connect(port + 1);  // leaves in the middle of a command
  ASSERT_GE(vanished, 0);
  Send(vanished, open + "\xff\xfa\x2c\x01\x00");
  ::close(vanished);

  int flood = Connect(port);  // data far beyond what the modem takes at once, never read back
  ASSERT_GE(flood, 0);
  std::string data(256 * 1024, 'A');
  ::send(flood, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);

  std::string answer = AskOnTerminal(Terminal("com4"), "ati9\r\n");
  EXPECT_NE(answer.find("OK\r\n"), std::string::npos) << answer;
  int next = Connect(port + 1);  // the port takes its next client
  ASSERT_GE(next, 0);
  Send(next, open);
  char reply[64];
  pollfd wait{next, POLLIN, 0};
  ASSERT_EQ(::poll(&wait, 1, 5000), 1);
  EXPECT_GT(::recv(next, reply, sizeof(reply), 0), 0);
  ::close(next);
  ::close(flood);
  EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
}

// A broken pipe costs the server nothing, and a hang-up of its terminal stops it as a termination
// request does: the links and line declarations removed, the signal's status.
TEST_F(MdmsimServe, ABrokenPipeIsHarmlessAndAHangUpStopsAsSigtermDoes) {
  ASSERT_TRUE(Serve({})) << serve->err();
  EXPECT_EQ(serve->Stop(SIGPIPE, 2s), -1) << serve->err();  // still running
  std::string answer = AskOnTerminal(Terminal("com3"), "ati9\r\n");
  EXPECT_NE(answer.find("OK\r\n"), std::string::npos) << answer;
  EXPECT_EQ(serve->Stop(SIGHUP, 30s), 128 + SIGHUP) << serve->err();
  EXPECT_NE(serve->err().find("stopped by SIGHUP"), std::string::npos) << serve->err();
  for (const char* name : {"com3", "com4", "com3.lines", "com4.lines"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(Terminal(name)))) << name;
  }
}

// A call between the two served modems: COM3 dials from its terminal, COM4's RFC 2217 client
// (pyserial) hears the ring, answers, sees the carrier come and go, and bytes cross both ways.
TEST_F(MdmsimServe, APyserialClientAnswersACallFromTheOtherModemAndSeesItsCarrier) {
  if (!testing_support::HavePyserial(scratch))
    GTEST_SKIP() << "pyserial is missing (Debian package python3-serial)";
  ASSERT_TRUE(Serve({"--rfc2217-port", std::to_string(port)})) << serve->err();
  EXPECT_NE(serve->out().find("COM4: USB modem 0000A1B2C3D5, number 4,"), std::string::npos);
  ProgramRun bounded{{}, 80s};
  auto call = RunProgram(kPython,
                         {RFC2217_CALL, "rfc2217://127.0.0.1:" + std::to_string(port + 1),
                          (Terminal("com3")).string(), "4"},
                         scratch, bounded);
  EXPECT_EQ(call.exitCode, 0) << call.err;
  EXPECT_EQ(call.out,
            "ring True\ncarrier True\ncaller connected True\ncalled heard True\n"
            "caller heard True\ncarrier dropped True\ncaller told True\n");
  EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
}

// An RFC 2217 client leaves the modem in download mode while a program holds the terminal: the
// client's leaving drops DTR for a moment all the same, so the modem has left download mode and
// answers the program's "AT".
TEST_F(MdmsimServe, AClientLeavingEndsItsSessionForTheProgramAfterIt) {
  if (!testing_support::HavePyserial(scratch))
    GTEST_SKIP() << "pyserial is missing (Debian package python3-serial)";
  ASSERT_TRUE(Serve({"--rfc2217-port", std::to_string(port)})) << serve->err();
  auto run = RunProgram(kPython,
                        {RFC2217_HANDOVER, "rfc2217://127.0.0.1:" + std::to_string(port),
                         fs::read_symlink(Terminal("com3")).string()},
                        scratch, ProgramRun{{}, 60s});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "prompt True\nanswer True\n");
  EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
}

// A call between the two served modems, both ends on their terminals. The called program stops
// reading for longer than the terminal holds what arrives meanwhile: nothing is lost, the rest
// waits in the port and the modem. Then the caller closes its terminal (DTR drops: its modem
// hangs up), and the called side's carrier drops: its program sees the hang-up of a serial line
// without CLOCAL (end of file, POLLHUP, writes fail), and the link leads the next program to a
// fresh terminal on the same port.
TEST_F(MdmsimServe, ASlowReaderLosesNothingAndCarrierLossHangsUpItsTerminal) {
  ASSERT_TRUE(Serve({"--line-rate", "1000000"})) << serve->err();
  TerminalUser called(Terminal("com4"));
  ASSERT_TRUE(called.open());
  ASSERT_TRUE(called.Send("ATS0=1\r"));
  ASSERT_TRUE(called.Await("OK\r\n", 10s)) << called.heard();
  TerminalUser caller(Terminal("com3"));
  ASSERT_TRUE(caller.open());
  ASSERT_TRUE(caller.Send("ATD4\r"));
  ASSERT_TRUE(caller.Await("CONNECT", 20s)) << caller.heard();
  ASSERT_TRUE(called.Await("CONNECT", 20s)) << called.heard();
  std::string text;
  for (int line = 0; text.size() < 96 * 1024; ++line) text += "line " + std::to_string(line) + "\n";
  ASSERT_TRUE(caller.Send(text + "end\n"));  // a terminal and a pseudo-terminal's worth beyond
  std::this_thread::sleep_for(8s);           // it has all arrived by now, at the port's pace
  ASSERT_TRUE(called.Await("end\n", 20s)) << called.heard().size();
  std::string got = called.heard().substr(called.heard().find("line 0\n"));
  EXPECT_TRUE(got == text + "end\n") << got.size() << " bytes of " << text.size() + 4;

  caller.Close();
  EXPECT_TRUE(called.AwaitHangUp(10s)) << called.heard();
  EXPECT_NE(called.Poll() & POLLHUP, 0);
  EXPECT_FALSE(called.Send("AT\r"));  // EIO

  const std::string told = "COM4: carrier lost, terminal hung up; now on ";
  std::size_t at = serve->out().find(told);
  ASSERT_NE(at, std::string::npos) << serve->out();
  std::string fresh = serve->out().substr(at + told.size());
  fresh = fresh.substr(0, fresh.find(' '));
  EXPECT_EQ(fs::read_symlink(Terminal("com4")).string(), fresh);
  called.Close();
  std::string answer = AskOnTerminal(Terminal("com4"), "AT\r");
  EXPECT_NE(answer.find("OK\r\n"), std::string::npos) << answer;
  EXPECT_EQ(serve->out().find("COM3: carrier lost"), std::string::npos);  // nobody held it
  EXPECT_EQ(serve->Stop(SIGTERM, 30s), 128 + SIGTERM) << serve->err();
}

#ifndef MDM_CHECKED
// lrzsz across a call between the two served modems, both through mdmcore and the simulated
// bus: `sz` on COM3's terminal, `rz` on COM4's, half a megabyte. The line runs at 1 Mbit/s so
// that the USB data paths set the pace: the driver sends a 62-byte data-out packet every second
// frame (31 bytes a millisecond) but takes a data-in packet only every fourth (about 15 KB/s),
// so the file crosses in about 35 s. The checked build runs the whole stack several times
// slower, too slow for a transfer in real time, so the case is the normal build's only.
TEST_F(MdmsimServe, SzAndRzMoveAFileByteForByteAcrossACall) {
  CarryAcrossACall(512 * 1024, {});
}

// The same while the host holds the kernel's processor for up to 50 ms at a time, at any point
// of its work, as a busy machine does: late is not lost.
TEST_F(MdmsimServe, ACallCarriesAFileByteForByteWhileTheHostStalls) {
  CarryAcrossACall(256 * 1024, {"--fault", "stall:every=60,for=50"});
}
#endif

}  // namespace
