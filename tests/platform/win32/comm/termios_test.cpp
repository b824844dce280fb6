// The tty backend of COM ports, driven through the Win32 calls over a pseudo-terminal: the
// application opens "COM5", whose dosdevices link names the slave; the test plays the device
// on the master. Real clock, short real waits.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/clock/virtual_clock.h"
#include "platform/win32/debug.h"
#include "platform/win32/windows.h"
#include "tests/support/descriptor_limit.h"

namespace {

namespace fs = std::filesystem;

// The kernel's termios2, which alone carries the exact rate of the line.
struct KernelTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);

// An overlapped request with its own manual-reset event.
struct Request {
  Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(overlapped.hEvent); }
  DWORD Wait(DWORD ms) { return WaitForSingleObject(overlapped.hEvent, ms); }
  OVERLAPPED overlapped{};
  BYTE buffer[64]{};
};

std::size_t Entries(const char* folder) {
  auto range = fs::directory_iterator(folder);
  return static_cast<std::size_t>(std::distance(begin(range), end(range)));
}

class TermiosPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temporaryRoot_.emplace("mdm-termios-");
    root_ = temporaryRoot_->path();
    ASSERT_FALSE(root_.empty());
    char slaveName[128];
    ASSERT_EQ(openpty(&master_, &slave_, slaveName, nullptr, nullptr), 0);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    fs::create_directories(root_ / "dosdevices");
    fs::create_symlink(slaveName, root_ / "dosdevices" / "com5");
  }

  void TearDown() override {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    temporaryRoot_.reset();
  }

  static HANDLE Open(const char* name = "COM5", DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
  }

  // Writes on an overlapped port and waits for the write to complete.
  static void WriteAndWait(HANDLE port, std::string_view bytes) {
    Request write;
    DWORD done = 0;
    if (!WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                   &write.overlapped)) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
      ASSERT_TRUE(GetOverlappedResult(port, &write.overlapped, &done, TRUE));
    }
    EXPECT_EQ(done, bytes.size());
  }

  // The modem lines the platform root declares for COM5.
  void DeclareLines(std::string_view words) const {
    std::ofstream(root_ / "dosdevices" / "com5.lines") << words;
  }

  static void SetReadTimeouts(HANDLE port, DWORD interval) {
    COMMTIMEOUTS timeouts{interval, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  }

  void MasterWrite(std::string_view bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // What the master receives until `count` bytes have come or `ms` have passed.
  std::string MasterRead(std::size_t count, int ms) const {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd fd{master_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[8192];
      ssize_t n = read(master_, chunk, sizeof chunk);
      if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
  }

  KernelTermios2 SlaveSettings() const {
    KernelTermios2 t{};
    EXPECT_EQ(ioctl(slave_, _IOR('T', 0x2A, KernelTermios2), &t), 0);
    return t;
  }

  fs::path root_;
  std::optional<platform::TemporaryRoot> temporaryRoot_;
  int master_ = -1;
  int slave_ = -1;
};

// The device's bytes come in real time: under the virtual clock a wait for them would see time
// jump past it, so the port refuses to open there, saying why.
TEST_F(TermiosPortTest, OpeningUnderTheVirtualClockStopsTheProgramSayingWhy) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
        Open();
      },
      "com5 waits on the outside world");
}

// ---------------------------------------------------------------------------------------------
// Bytes

TEST_F(TermiosPortTest, WrittenBytesArriveAtTheDevice) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Request write;
  std::string text = "ati9\r\n";
  DWORD done = 0;
  if (!WriteFile(port, text.data(), 6, &done, &write.overlapped)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &write.overlapped, &done, TRUE));
  }
  EXPECT_EQ(done, 6u);
  EXPECT_EQ(MasterRead(6, 500), text);  // raw: no CR/LF translation on the way
  CloseHandle(port);
}

TEST_F(TermiosPortTest, WriteLargerThanTheTtyTakesCompletesAsTheDeviceDrains) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  std::vector<BYTE> block(256 * 1024);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<BYTE>(i * 7);
  Request write;
  DWORD done = 0;
  ASSERT_FALSE(
      WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &done, &write.overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(write.Wait(20), WAIT_TIMEOUT);  // the device has not read yet
  std::string got = MasterRead(block.size(), 800);
  ASSERT_EQ(got.size(), block.size());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin(),
                         [](BYTE a, char b) { return a == static_cast<BYTE>(b); }));
  ASSERT_TRUE(GetOverlappedResult(port, &write.overlapped, &done, TRUE));
  EXPECT_EQ(done, block.size());
  CloseHandle(port);
}

// The close path of a session purges both queues right after its last write completed (a ZFILE,
// then a ZABORT): a completed write's bytes have left the port, and no purge takes them back.
TEST_F(TermiosPortTest, PurgeAfterACompletedWriteKeepsItsBytes) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  std::string header =
      "**\x18"
      "B0400000000a87c\r\n";
  std::string abort(10, '\x18');
  WriteAndWait(port, header);
  ASSERT_TRUE(PurgeComm(port, PURGE_TXCLEAR));
  WriteAndWait(port, abort);
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  CloseHandle(port);
  EXPECT_EQ(MasterRead(header.size() + abort.size(), 1000), header + abort);
}

TEST_F(TermiosPortTest, PurgeAfterACompletedWriteKeepsItsBytesOnABlockingPort) {
  HANDLE port = Open("COM5", 0);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  std::vector<char> block(64 * 1024);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13);
  std::string got;
  std::thread device([&] { got = MasterRead(block.size(), 5000); });
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &done, nullptr));
  EXPECT_EQ(done, block.size());
  EXPECT_TRUE(PurgeComm(port, PURGE_TXCLEAR | PURGE_TXABORT));
  CloseHandle(port);
  device.join();
  EXPECT_EQ(got, std::string(block.begin(), block.end()));
}

TEST_F(TermiosPortTest, ReadEndsOnTheIntervalAfterAPause) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetReadTimeouts(port, 50);
  Request read;
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(port, read.buffer, 10, &got, &read.overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  auto sent = std::chrono::steady_clock::now();
  MasterWrite("OK\r");
  ASSERT_EQ(read.Wait(1000), WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(45));
  ASSERT_TRUE(GetOverlappedResult(port, &read.overlapped, &got, FALSE));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(read.buffer), got), "OK\r");
  CloseHandle(port);
}

TEST_F(TermiosPortTest, ReadEndsAtOnceWhenTheCountIsThere) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetReadTimeouts(port, 5000);  // an interval end would come far too late
  Request read;
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(port, read.buffer, 4, &got, &read.overlapped));
  MasterWrite("wxyz");
  ASSERT_EQ(read.Wait(500), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(port, &read.overlapped, &got, FALSE));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(read.buffer), got), "wxyz");
  CloseHandle(port);
}

TEST_F(TermiosPortTest, ReadWithoutBytesStaysPending) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetReadTimeouts(port, 50);
  Request read;
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(port, read.buffer, 10, &got, &read.overlapped));
  EXPECT_EQ(read.Wait(150), WAIT_TIMEOUT);
  EXPECT_FALSE(GetOverlappedResult(port, &read.overlapped, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  CloseHandle(port);  // abandons the read
  EXPECT_FALSE(GetOverlappedResult(port, &read.overlapped, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

// ---------------------------------------------------------------------------------------------
// Line settings and modem lines

TEST_F(TermiosPortTest, LineSettingsReachTheTtyAndReadBack) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.ByteSize, 8);  // raw mode
  EXPECT_EQ(dcb.XonLim, 2048);
  dcb.BaudRate = 56000;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(SetCommState(port, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, 56000u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(back.ByteSize, 8);
  KernelTermios2 t = SlaveSettings();
  EXPECT_EQ(t.c_ospeed, 56000u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);

  dcb.BaudRate = 2400;
  dcb.ByteSize = 7;
  dcb.Parity = MARKPARITY;
  dcb.StopBits = ONE5STOPBITS;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutX = dcb.fInX = 1;
  dcb.XonChar = 0x21;
  ASSERT_TRUE(SetCommState(port, &dcb));
  t = SlaveSettings();
  EXPECT_EQ(t.c_ospeed, 2400u);
  // A pseudo-terminal forces CS8 and clears PARENB; the rest of the format stays as set.
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(PARODD | CMSPAR | CSTOPB));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x21);
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.ByteSize, 7);  // what the application set, not what the tty made of it
  EXPECT_EQ(back.Parity, MARKPARITY);
  EXPECT_EQ(back.StopBits, ONE5STOPBITS);
  CloseHandle(port);

  // A reopen finds the port as the application left it.
  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, 2400u);
  EXPECT_EQ(back.Parity, MARKPARITY);
  EXPECT_EQ(back.StopBits, ONE5STOPBITS);
  EXPECT_EQ(back.XonChar, 0x21);
  CloseHandle(port);
}

// CRTSCTS stops output while CTS is low, so only CTS output flow control may set it; RTS
// handshake, DSR flow and DTR handshake have no tty setting and leave it off. GetCommState
// reports what the application set, across a reopen too.
TEST_F(TermiosPortTest, OnlyCtsOutputFlowSetsCrtscts) {
  struct Case {
    DWORD rtsControl, outxCtsFlow, outxDsrFlow, dtrControl;
    bool crtscts;
  };
  const Case cases[] = {
      {RTS_CONTROL_HANDSHAKE, 0, 0, DTR_CONTROL_ENABLE, false},  // the updater's settings
      {RTS_CONTROL_HANDSHAKE, 1, 0, DTR_CONTROL_ENABLE, true},
      {RTS_CONTROL_ENABLE, 1, 0, DTR_CONTROL_ENABLE, true},
      {RTS_CONTROL_ENABLE, 0, 0, DTR_CONTROL_ENABLE, false},
      {RTS_CONTROL_TOGGLE, 0, 0, DTR_CONTROL_ENABLE, false},
      {RTS_CONTROL_ENABLE, 0, 1, DTR_CONTROL_ENABLE, false},
      {RTS_CONTROL_ENABLE, 0, 1, DTR_CONTROL_HANDSHAKE, false},
      {RTS_CONTROL_DISABLE, 1, 1, DTR_CONTROL_HANDSHAKE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rts " << c.rtsControl << " cts " << c.outxCtsFlow << " dsr "
                                    << c.outxDsrFlow << " dtr " << c.dtrControl);
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    dcb.fRtsControl = c.rtsControl;
    dcb.fOutxCtsFlow = c.outxCtsFlow;
    dcb.fOutxDsrFlow = c.outxDsrFlow;
    dcb.fDtrControl = c.dtrControl;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ((SlaveSettings().c_cflag & CRTSCTS) != 0, c.crtscts);
    WriteAndWait(port, "at\r");  // no flow control holds the write up
    EXPECT_EQ(MasterRead(3, 1000), "at\r");
    CloseHandle(port);

    port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.fRtsControl, c.rtsControl);
    EXPECT_EQ(back.fOutxCtsFlow, c.outxCtsFlow);
    EXPECT_EQ(back.fOutxDsrFlow, c.outxDsrFlow);
    EXPECT_EQ(back.fDtrControl, c.dtrControl);
    EXPECT_EQ((SlaveSettings().c_cflag & CRTSCTS) != 0, c.crtscts);
    CloseHandle(port);
  }
}

// A port first opened shows the tty's CRTSCTS as CTS output flow with RTS handshake.
TEST_F(TermiosPortTest, FirstOpenReadsTheTtysFlowControl) {
  termios t{};
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  CloseHandle(port);
}

TEST_F(TermiosPortTest, PseudoTerminalHasNoModemStatusButTakesDtrAndRts) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(port, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
  EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
  EXPECT_TRUE(EscapeCommFunction(port, SETRTS));
  EXPECT_FALSE(EscapeCommFunction(port, 77));
  CloseHandle(port);
}

TEST_F(TermiosPortTest, PseudoTerminalShowsTheModemLinesTheRootDeclares) {
  DeclareLines("cts dsr\n");
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
  CloseHandle(port);

  DeclareLines("DSR Cts dcd ring");  // read at each open; any case
  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON));
  CloseHandle(port);

  DeclareLines("");  // declared, all off
  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  status = MS_CTS_ON;
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, 0u);
  CloseHandle(port);
}

// A misspelt line does not pass for a line that is off: the declaration is void, and the
// debugger output says why.
TEST_F(TermiosPortTest, DeclarationWithAnUnknownLineIsIgnored) {
  DeclareLines("cts dsx");
  platform::win32::debug::Capture debug;
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(port, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_NE(debug.Text().find("com5.lines"), std::string::npos);
  EXPECT_NE(debug.Text().find("dsx"), std::string::npos);
  CloseHandle(port);
}

// A declaration that is no small regular file is never read: the open neither waits on a FIFO
// nor reads a device or a huge file into memory, and the debugger output says why.
TEST_F(TermiosPortTest, DeclarationThatIsNoSmallRegularFileIsNotRead) {
  const fs::path lines = root_ / "dosdevices" / "com5.lines";
  const std::vector<std::pair<std::function<void()>, std::string>> cases{
      {[&] { ASSERT_EQ(mkfifo(lines.c_str(), 0600), 0); }, "not a regular file"},
      {[&] { fs::create_symlink("/dev/zero", lines); }, "not a regular file"},
      {[&] { std::ofstream(lines).close(), fs::resize_file(lines, 100 << 20); }, "longer than"},
  };
  for (const auto& [make, why] : cases) {
    SCOPED_TRACE(why);
    fs::remove(lines);
    make();
    platform::win32::debug::Capture debug;
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_NE(debug.Text().find("com5.lines: " + why), std::string::npos) << debug.Text();
    CloseHandle(port);
  }
}

// Out of descriptors, the open fails for that cause, whichever of its files (the tty, its wake-up,
// the line declaration) found none, and the debugger output says so.
TEST_F(TermiosPortTest, NoDescriptorLeftFailsTheOpenForThatCause) {
  if (!testing_support::DescriptorLimit::kUsable) {
    GTEST_SKIP() << testing_support::DescriptorLimit::kWhyNot;
  }
  DeclareLines("cts dsr");
  for (int more : {0, 1, 2}) {
    SCOPED_TRACE(more);
    platform::win32::debug::Capture debug;
    HANDLE port = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    {
      testing_support::DescriptorLimit limit(more);
      port = Open();
      error = GetLastError();
    }
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_NE(debug.Text().find("COM5: cannot be opened: too many open files"), std::string::npos)
        << debug.Text();
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  }
  HANDLE port = Open();  // with room again
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
}

// ---------------------------------------------------------------------------------------------
// Opening, losing and closing the device

// A pseudo-terminal starts at speed 0, which no DCB carries: the session's attempt to put its
// saved line settings back is refused, and the close restores the tty exactly as it was found.
TEST_F(TermiosPortTest, CloseRestoresTheTtyAsFoundEvenAtSpeedZero) {
  termios t{};
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  t.c_lflag |= ICANON | ECHO;  // cooked, unlike the raw mode the port runs in
  t.c_oflag |= OPOST;
  t.c_iflag |= ICRNL;
  cfsetispeed(&t, B0);
  cfsetospeed(&t, B0);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
  KernelTermios2 found = SlaveSettings();
  ASSERT_EQ(found.c_ospeed, 0u);

  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB saved{};
  ASSERT_TRUE(GetCommState(port, &saved));
  EXPECT_EQ(saved.BaudRate, 0u);
  DCB working = saved;
  working.BaudRate = 115200;
  working.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(port, &working));
  EXPECT_EQ(SlaveSettings().c_ospeed, 115200u);
  EXPECT_EQ(SlaveSettings().c_lflag & (ICANON | ECHO), 0u);
  EXPECT_FALSE(SetCommState(port, &saved));
  CloseHandle(port);

  KernelTermios2 after = SlaveSettings();
  EXPECT_EQ(after.c_ospeed, 0u);
  EXPECT_EQ(after.c_ispeed, found.c_ispeed);
  EXPECT_EQ(after.c_cflag, found.c_cflag);
  EXPECT_EQ(after.c_iflag, found.c_iflag);
  EXPECT_EQ(after.c_oflag, found.c_oflag);
  EXPECT_EQ(after.c_lflag, found.c_lflag);
  EXPECT_EQ(std::memcmp(after.c_cc, found.c_cc, sizeof found.c_cc), 0);
}

TEST_F(TermiosPortTest, PortIsOpenedExclusively) {
  HANDLE first = Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(first);
  HANDLE again = Open();  // the claim went with the close
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(TermiosPortTest, MissingDeviceIsFileNotFound) {
  EXPECT_EQ(Open("COM6"), INVALID_HANDLE_VALUE);  // no link
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  fs::create_symlink("/dev/pts/no-such-terminal", root_ / "dosdevices" / "com7");
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);  // a link to nothing
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(TermiosPortTest, VanishedDeviceFailsThePendingReadAndLaterOnes) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Request read;
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(port, read.buffer, 10, &got, &read.overlapped));  // no time-outs
  close(master_);
  master_ = -1;
  ASSERT_EQ(read.Wait(1000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port, &read.overlapped, &got, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  Request again;
  EXPECT_FALSE(ReadFile(port, again.buffer, 10, &got, &again.overlapped));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(TermiosPortTest, CloseLeavesNoThreadOrDescriptor) {
  // The clock's timer thread starts on first use; have it running before counting.
  auto& clock = platform::clock::Current();
  clock.Schedule(clock.Now(), [] {});
  std::size_t fds = Entries("/proc/self/fd");
  std::size_t threads = Entries("/proc/self/task");
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_GT(Entries("/proc/self/task"), threads);  // the pump runs
  SetReadTimeouts(port, 20);
  Request read;
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(port, read.buffer, 10, &got, &read.overlapped));
  MasterWrite("x");
  ASSERT_EQ(read.Wait(1000), WAIT_OBJECT_0);
  CloseHandle(port);
  EXPECT_EQ(Entries("/proc/self/fd"), fds);
  EXPECT_EQ(Entries("/proc/self/task"), threads);
}

}  // namespace
