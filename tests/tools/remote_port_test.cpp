// Remote COM ports: "COM5", whose dosdevices link names "rfc2217://127.0.0.1:PORT", opened
// through the Win32 calls. The server is mdmsim's, serving an in-process port whose device the
// test plays, or a scripted one that refuses, falls silent, drops the connection or floods.
// Real clock, real sockets on 127.0.0.1.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/connection.h"
#include "platform/net/rfc2217.h"
#include "platform/net/telnet.h"
#include "platform/win32/inprocess_port.h"
#include "platform/win32/windows.h"
#include "tests/support/background_program.h"
#include "tests/support/temp_root.h"
#include "tools/mdmsim/served_port.h"

namespace {

namespace fs = std::filesystem;
namespace net = platform::net;
namespace rfc = platform::net::rfc2217;
using namespace std::chrono_literals;
using platform::win32::CommDevice;
using platform::win32::InProcessPort;

// A listening socket on 127.0.0.1 with the port the system chose.
struct Listener {
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() { ::close(fd); }
  int fd;
  std::uint16_t port;
};

// A server that runs `script` on the first connection, in a thread of its own.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> script)
      : thread_([this, script = std::move(script)] {
          int client = ::accept(listener_.fd, nullptr, nullptr);
          if (client < 0) return;
          script(client);
          ::close(client);
        }) {}
  ~ScriptedServer() {
    ::shutdown(listener_.fd, SHUT_RDWR);  // ends an accept still waiting
    thread_.join();
  }
  std::uint16_t port() const { return listener_.port; }

 private:
  Listener listener_;
  std::thread thread_;
};

void SendBytes(int fd, const std::vector<BYTE>& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Takes the client's greeting and agrees to everything it asked, as a server does.
void Agree(int fd) {
  std::vector<BYTE> out;
  net::AppendNegotiation(out, net::kDo, net::kOptionComPort);
  for (BYTE option : {net::kOptionBinary, net::kOptionSuppressGoAhead}) {
    net::AppendNegotiation(out, net::kDo, option);
    net::AppendNegotiation(out, net::kWill, option);
  }
  SendBytes(fd, out);
}

// Reads what the client sends until it asks for the rate, which ends each of its exchanges.
void AwaitTheRateQuestion(int fd) {
  const std::vector<BYTE> question{net::kIac, net::kSb, net::kOptionComPort, rfc::kSetBaudRate};
  std::vector<BYTE> heard;
  BYTE buffer[256];
  while (std::search(heard.begin(), heard.end(), question.begin(), question.end()) == heard.end()) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    heard.insert(heard.end(), buffer, buffer + n);
  }
}

// Answers the rate every 20 ms, which ends each exchange of the client, whatever it asked.
void AnswerTheRate(int fd) {
  std::vector<BYTE> out;
  net::AppendSubnegotiation(out, net::kOptionComPort,
                            rfc::WithValue32(rfc::kSetBaudRate + rfc::kServerOffset, 9600));
  SendBytes(fd, out);
  std::this_thread::sleep_for(20ms);
}

// A device that keeps what the application wrote.
class Recorder final : public CommDevice {
 public:
  std::size_t OnTransmit(InProcessPort&, std::span<const BYTE> bytes) override {
    std::lock_guard lock(mutex_);
    written_.insert(written_.end(), bytes.begin(), bytes.end());
    return bytes.size();
  }
  std::vector<BYTE> written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  std::vector<BYTE> written_;
};

// Polls `condition` for up to five seconds.
bool Eventually(const std::function<bool()>& condition) {
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

class RemotePortTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root_.path() / "dosdevices"); }

  void LinkTo(const std::string& target) {
    fs::create_symlink(target, root_.path() / "dosdevices" / "com5");
  }
  void LinkToPort(std::uint16_t port) { LinkTo("rfc2217://127.0.0.1:" + std::to_string(port)); }

  // Serves the in-process "COM9" with mdmsim's server, linked as COM5.
  void Serve() {
    device_ = InProcessPort::Create("COM9");
    recorder_ = std::make_shared<Recorder>();
    device_->SetDevice(recorder_);
    std::uint16_t port;
    {
      Listener probe;  // a free port, given back for the server to take
      port = probe.port;
    }
    std::string error;
    served_ = mdmsim::ServedPort::Start(
        "COM9", port, [](const std::string&) {}, error);
    ASSERT_TRUE(served_) << error;
    LinkToPort(port);
    servedPort_ = port;
  }

  static HANDLE Open(DWORD flags = 0) {
    return CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
  }

  testing_support::TempRoot root_;
  std::shared_ptr<InProcessPort> device_;
  std::shared_ptr<Recorder> recorder_;
  std::unique_ptr<mdmsim::ServedPort> served_;
  std::uint16_t servedPort_ = 0;
};

TEST_F(RemotePortTest, CarriesBytesBothWaysAndTheLineSettingsToTheServedPort) {
  Serve();
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 56000;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
  DCB served = device_->Snapshot().dcb;
  EXPECT_EQ(served.BaudRate, 56000u);
  EXPECT_EQ(served.ByteSize, 7);
  EXPECT_EQ(served.Parity, EVENPARITY);
  EXPECT_EQ(served.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(served.fOutxCtsFlow);

  // 0xFF is the telnet stream's escape: it must pass both ways as data.
  std::vector<BYTE> out{'a', 0xFF, 0xFF, 'b', 0x00, 0x0D, 0xFF};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, out.data(), static_cast<DWORD>(out.size()), &written, nullptr));
  EXPECT_EQ(written, out.size());
  EXPECT_TRUE(Eventually([&] { return recorder_->written() == out; }));

  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 3000;
  SetCommTimeouts(port, &timeouts);
  std::vector<BYTE> in{0xFF, 'x', 0xFF, 0xFF, 0x0D, 0x00};
  device_->Deliver(in);
  std::vector<BYTE> got(in.size());
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(port, got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
  EXPECT_EQ(read, in.size());
  EXPECT_EQ(got, in);

  ASSERT_TRUE(EscapeCommFunction(port, CLRDTR)) << GetLastError();
  EXPECT_FALSE(device_->Snapshot().dtr);
  EXPECT_FALSE(EscapeCommFunction(port, SETXOFF));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(port);
}

TEST_F(RemotePortTest, ModemLinesFollowTheServersNotificationsAsEvents) {
  Serve();
  device_->SetModemStatus(MS_CTS_ON);
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, DWORD{MS_CTS_ON});

  ASSERT_TRUE(SetCommMask(port, EV_DSR | EV_RLSD));
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(port, &events, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  device_->SetModemStatus(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, DWORD{EV_DSR | EV_RLSD});
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, DWORD{MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON});
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);

  // Lines the platform root declares beside the link are shown instead of the server's.
  std::ofstream(root_.path() / "dosdevices" / "com5.lines") << "dsr ring";
  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  ASSERT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, DWORD{MS_DSR_ON | MS_RING_ON});
  CloseHandle(port);
}

TEST_F(RemotePortTest, SettingsAreKeptBetweenOpensOfTheLink) {
  Serve();
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = 19200;
  dcb.XonChar = 0x21;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 77;
  SetCommTimeouts(port, &timeouts);
  CloseHandle(port);

  port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DCB again{};
  again.DCBlength = sizeof again;
  GetCommState(port, &again);
  EXPECT_EQ(again.BaudRate, 19200u);
  EXPECT_EQ(again.XonChar, 0x21);
  GetCommTimeouts(port, &timeouts);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 77u);
  CloseHandle(port);
}

TEST_F(RemotePortTest, ABadOrAbsentServerFailsTheOpen) {
  std::uint16_t nobody;
  {
    Listener closed;  // bound and listening, then closed: nobody serves its port
    nobody = closed.port;
  }
  LinkToPort(nobody);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  for (const char* bad : {"rfc2217://127.0.0.1", "rfc2217://127.0.0.1:0", "rfc2217://:99",
                          "rfc2217://127.0.0.1:99999", "rfc2217://127.0.0.1:12x"}) {
    fs::remove(root_.path() / "dosdevices" / "com5");
    LinkTo(bad);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << bad;
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME) << bad;
  }
}

TEST_F(RemotePortTest, AServerThatRefusesTheOptionOrStaysSilentFailsTheOpenInTime) {
  {
    ScriptedServer refusing([](int fd) {
      std::vector<BYTE> out;
      net::AppendNegotiation(out, net::kDont, net::kOptionComPort);
      SendBytes(fd, out);
      BYTE sink[256];
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
    });
    LinkToPort(refusing.port());
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  }
  fs::remove(root_.path() / "dosdevices" / "com5");
  std::atomic<bool> done{false};
  ScriptedServer silent([&](int) {
    while (!done) std::this_thread::sleep_for(10ms);
  });
  LinkToPort(silent.port());
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  done = true;
}

// The server takes the option, then answers line settings but not the rest; a command it
// passes over in silence (DTR of a device without it) is no failure, a refused one is.
TEST_F(RemotePortTest, ARefusedSettingFailsItsCallAndKeepsWhatIsInForce) {
  ScriptedServer picky([](int fd) {
    Agree(fd);
    net::TelnetReader reader;
    struct Answerer : net::TelnetSink {
      int fd;
      void OnData(std::span<const BYTE>) override {}
      void OnNegotiation(BYTE, BYTE) override {}
      void OnSubnegotiation(BYTE, std::span<const BYTE> payload) override {
        if (payload.empty()) return;
        std::vector<BYTE> answer(payload.begin(), payload.end());
        answer[0] = static_cast<BYTE>(answer[0] + rfc::kServerOffset);
        if (payload[0] == rfc::kSetControl) return;  // controls pass unanswered
        if (payload[0] == rfc::kSetBaudRate && rfc::Value32(payload.subspan(1)) != 0u) {
          answer = rfc::WithValue32(rfc::kSetBaudRate + rfc::kServerOffset, 9600);
        }
        if (payload[0] == rfc::kSetBaudRate || payload[0] == rfc::kSetDataSize ||
            payload[0] == rfc::kSetParity || payload[0] == rfc::kSetStopSize) {
          std::vector<BYTE> out;
          net::AppendSubnegotiation(out, net::kOptionComPort, answer);
          SendBytes(fd, out);
        }
      }
    } answerer;
    answerer.fd = fd;
    BYTE buffer[512];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      reader.Feed(std::span<const BYTE>(buffer, static_cast<std::size_t>(n)), answerer);
    }
  });
  LinkToPort(picky.port());
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(EscapeCommFunction(port, CLRDTR)) << GetLastError();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = 115200;
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  GetCommState(port, &dcb);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(port, &status));  // it never told the lines
  CloseHandle(port);
}

TEST_F(RemotePortTest, ADroppedConnectionFailsThePendingReadAndWhatFollows) {
  std::atomic<bool> drop{false};
  ScriptedServer dropping([&](int fd) {
    Agree(fd);
    while (!drop) AnswerTheRate(fd);
  });
  LinkToPort(dropping.port());
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BYTE buffer[16];
  DWORD read = 0;
  ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &read, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  drop = true;
  ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &read, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);
}

// A server that sends far more than the receive queue holds, to a reader that takes its time:
// every byte arrives, in order.
TEST_F(RemotePortTest, AFloodLosesNothing) {
  constexpr std::size_t kFlood = 1 << 20;
  ScriptedServer flooding([](int fd) {
    Agree(fd);
    AwaitTheRateQuestion(fd);
    std::vector<BYTE> out;
    net::AppendSubnegotiation(out, net::kOptionComPort,
                              rfc::WithValue32(rfc::kSetBaudRate + rfc::kServerOffset, 9600));
    std::vector<BYTE> data(kFlood);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + i / 251);
    net::AppendData(out, data);
    for (std::size_t sent = 0; sent < out.size();) {
      ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
    BYTE sink[256];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
  });
  LinkToPort(flooding.port());
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 3000;
  SetCommTimeouts(port, &timeouts);
  std::vector<BYTE> got;
  std::vector<BYTE> chunk(1500);
  DWORD read = 0;
  auto wanted = [&] { return static_cast<DWORD>(std::min(chunk.size(), kFlood - got.size())); };
  while (got.size() < kFlood && ReadFile(port, chunk.data(), wanted(), &read, nullptr) &&
         read > 0) {
    got.insert(got.end(), chunk.begin(), chunk.begin() + read);
  }
  ASSERT_EQ(got.size(), kFlood);
  bool inOrder = true;
  for (std::size_t i = 0; i < got.size() && inOrder; ++i) {
    inOrder = got[i] == static_cast<BYTE>(i * 7 + i / 251);
  }
  EXPECT_TRUE(inOrder);
  DWORD errors = 0;
  ClearCommError(port, &errors, nullptr);
  EXPECT_EQ(errors, 0u) << "no overrun";
  CloseHandle(port);
}

// A subnegotiation longer than any the option has: the stream is broken and the port gone.
TEST_F(RemotePortTest, AStreamThatBreaksTheProtocolDisconnectsThePort) {
  std::atomic<bool> done{false};
  ScriptedServer breaking([&](int fd) {
    Agree(fd);
    AwaitTheRateQuestion(fd);
    AnswerTheRate(fd);
    std::vector<BYTE> out{net::kIac, net::kSb, net::kOptionComPort};
    out.insert(out.end(), 1000, BYTE{1});
    SendBytes(fd, out);
    while (!done) std::this_thread::sleep_for(10ms);
  });
  LinkToPort(breaking.port());
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 3000;
  SetCommTimeouts(port, &timeouts);
  BYTE byte;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(port, &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  done = true;
  CloseHandle(port);
}

// This thread in a network namespace of its own, with its loopback up, until the end of the
// scope; `Cut` takes the loopback down, so that every packet between the test's own client and
// server is dropped, as when the server's host vanishes without a word.
class OwnNetwork {
 public:
  OwnNetwork() {
    int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (own < 0 || ::unshare(CLONE_NEWNET) != 0) {
      error_ = std::strerror(errno);
      if (own >= 0) ::close(own);
      return;
    }
    before_ = own;
    if (!Loopback(true)) error_ = "the loopback did not come up";
  }
  ~OwnNetwork() {
    if (before_ >= 0 && ::setns(before_, CLONE_NEWNET) != 0) std::abort();
    if (before_ >= 0) ::close(before_);
  }
  const std::string& error() const { return error_; }
  bool Cut() { return Loopback(false); }
  bool Mend() { return Loopback(true); }

 private:
  static bool Loopback(bool up) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags =
        static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
    done = done && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) ::close(fd);
    return done;
  }
  int before_ = -1;
  std::string error_;
};

// A server that never reads: a write it holds stays pending while the server's host answers,
// however long, and fails with ERROR_DEVICE_NOT_CONNECTED once the host is gone without a FIN;
// so does a read pending on the idle connection (keep-alive).
TEST_F(RemotePortTest, AHeldWriteOrAPendingReadFailsOnceTheServerIsGoneWithoutAWord) {
  for (bool write : {true, false}) {
    SCOPED_TRACE(write ? "held write" : "pending read");
    OwnNetwork network;
    if (!network.error().empty()) {
      GTEST_SKIP() << "no network namespace of its own (" << network.error() << "): needs root";
    }
    std::atomic<bool> settled{false}, done{false};
    ScriptedServer silent([&](int fd) {
      Agree(fd);
      while (!settled && !done) AnswerTheRate(fd);
      while (!done) std::this_thread::sleep_for(10ms);
    });
    struct Finish {
      std::atomic<bool>& done;
      ~Finish() { done = true; }  // before the server is joined, however the test ends
    } finish{done};
    fs::remove(root_.path() / "dosdevices" / "com5");
    LinkToPort(silent.port());
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    settled = true;
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    std::vector<BYTE> bytes(write ? 64 << 20 : 16, 'x');  // far more than the buffers hold
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD moved = 0;
    auto size = static_cast<DWORD>(bytes.size());
    ASSERT_FALSE(write ? WriteFile(port, bytes.data(), size, &moved, &overlapped)
                       : ReadFile(port, bytes.data(), size, &moved, &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // Longer than the verdict on a server that is gone takes: a server that is there holds on.
    if (write) {
      EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 6000), WAIT_TIMEOUT);
    }
    ASSERT_TRUE(network.Cut());
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 60000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &moved, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(overlapped.hEvent);
    CloseHandle(port);
  }
}

// The served port's client whose host is gone without a FIN is dropped once keep-alive gives its
// verdict: the port does not stay taken, and the next client is served.
TEST_F(RemotePortTest, TheServerDropsAClientThatIsGoneWithoutAWordAndServesTheNext) {
  OwnNetwork network;
  if (!network.error().empty()) {
    GTEST_SKIP() << "no network namespace of its own (" << network.error() << "): needs root";
  }
  Serve();  // its threads and sockets in this thread's network
  // A bare connection, without keep-alive of its own: it outlives the cut, as a peer behind a
  // vanished route does, and only the server's probes can find it gone.
  int vanished = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(servedPort_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(vanished, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::this_thread::sleep_for(500ms);       // taken as the port's client
  ASSERT_EQ(Open(), INVALID_HANDLE_VALUE);  // one client at a time
  ASSERT_TRUE(network.Cut());
  // Long enough for the server's verdict; the loopback then carries the next client's connection.
  std::this_thread::sleep_for(platform::net::kKeepAliveIdle +
                              platform::net::kKeepAliveInterval *
                                  (platform::net::kKeepAliveCount + 2));
  ASSERT_TRUE(network.Mend());
  HANDLE next = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 50 && next == INVALID_HANDLE_VALUE; ++attempt) {
    next = Open();
    if (next == INVALID_HANDLE_VALUE) std::this_thread::sleep_for(200ms);
  }
  EXPECT_NE(next, INVALID_HANDLE_VALUE) << "the vanished client still holds the port";
  CloseHandle(next);
  ::close(vanished);
}

// Debian's ser2net serving a pseudo-terminal: the data path both ways and the line settings,
// which ser2net puts on the terminal.
TEST_F(RemotePortTest, Ser2netCarriesTheDataAndTheLineSettingsToItsDevice) {
  constexpr char kSer2net[] = "/usr/sbin/ser2net";
  if (::access(kSer2net, X_OK) != 0) GTEST_SKIP() << "ser2net is missing (Debian package ser2net)";
  int master = -1, slave = -1;
  char slaveName[128];
  ASSERT_EQ(::openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
  std::uint16_t port;
  {
    Listener probe;
    port = probe.port;
  }
  fs::path config = root_.path() / "ser2net.yaml";
  std::ofstream(config) << "connection: &com5\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
                        << "\n  connector: serialdev," << slaveName << ",9600n81,local\n";
  testing_support::BackgroundProgram ser2net(
      kSer2net, {"-n", "-d", "-c", config.string(), "-P", (root_.path() / "pid").string()},
      root_.path(), {});
  LinkToPort(port);
  HANDLE com = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Eventually([&] { return (com = Open()) != INVALID_HANDLE_VALUE; }))
      << "ser2net did not serve: " << GetLastError();

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(com, &dcb));
  dcb.BaudRate = 19200;
  dcb.StopBits = TWOSTOPBITS;
  EXPECT_TRUE(SetCommState(com, &dcb)) << GetLastError();
  // ser2net may answer before it has set the terminal. (A pseudo-terminal takes no data size
  // or parity: the kernel keeps it at 8 bits without parity.)
  termios line{};
  EXPECT_TRUE(Eventually([&] {
    return ::tcgetattr(master, &line) == 0 && ::cfgetospeed(&line) == B19200 &&
           (line.c_cflag & CSTOPB) != 0;
  })) << std::oct
      << line.c_cflag;

  termios raw = line;
  ::cfmakeraw(&raw);
  ::tcsetattr(master, TCSANOW, &raw);
  std::vector<BYTE> out{'a', 0xFF, 0x0D, 0x00, 0xFF, 'z'};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(com, out.data(), static_cast<DWORD>(out.size()), &written, nullptr));
  std::vector<BYTE> arrived;
  EXPECT_TRUE(Eventually([&] {
    BYTE buffer[64];
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, 0) == 1) {
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) arrived.insert(arrived.end(), buffer, buffer + n);
    }
    return arrived.size() >= out.size();
  }));
  EXPECT_EQ(arrived, out);

  std::vector<BYTE> in{0xFF, 'q', 0x0D, 0x0A, 0xFF, 0xFF};
  ASSERT_EQ(::write(master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 3000;
  SetCommTimeouts(com, &timeouts);
  std::vector<BYTE> got(in.size());
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(com, got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
  EXPECT_EQ(got, in);
  CloseHandle(com);
  ::close(master);
  ::close(slave);
}

}  // namespace
