// Calls between two modems on in-process COM ports, each driven by a host through the Win32
// stand-in in virtual time: the result codes and line states a terminal program sees, the data
// at the line rate, and flow control when the host writes faster than the line carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "platform/win32/inprocess_port.h"
#include "platform/win32/windows.h"
#include "sim/modem/phone_line.h"
#include "sim/modem/serial_modem.h"
#include "tests/support/virtual_time.h"

namespace {

using namespace std::chrono_literals;
using sim::modem::Firmware;
using sim::modem::PhoneLine;
using sim::modem::SerialModem;
using testing_support::VirtualTime;

// Printable bytes, so that none of them is XON or XOFF.
std::string Pattern(std::size_t count, char first) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>(first + i % 64));
  return bytes;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(platform::clock::Current().Now())
      .count();
}

// A host with its modem: the port runs at 115200 baud, reads return at once with what has come,
// and writes return when the port has taken every byte.
class Terminal {
 public:
  Terminal(const std::string& name, const std::shared_ptr<PhoneLine>& line,
           const std::string& number) {
    port = platform::win32::InProcessPort::Create(name);
    modem = SerialModem::Attach(port, {}, MS_CTS_ON | MS_DSR_ON);
    EXPECT_TRUE(modem->PlugIntoLine(line, number));
    handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    SetCtsFlow(false);
    SetupComm(handle, 65536, 65536);  // room for all a test sends while its host writes
    COMMTIMEOUTS immediate{0xFFFFFFFF, 0, 0, 0, 0};  // a read returns what has come
    SetCommTimeouts(handle, &immediate);
    EscapeCommFunction(handle, SETDTR);
    EscapeCommFunction(handle, SETRTS);
  }
  ~Terminal() { CloseHandle(handle); }

  void SetCtsFlow(bool on) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(handle, &dcb);
    dcb.BaudRate = 115200;
    dcb.fOutxCtsFlow = on ? 1 : 0;
    SetCommState(handle, &dcb);
  }
  void Type(const std::string& text) {
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    EXPECT_EQ(written, text.size());
  }
  std::string Read() {
    std::string got;
    BYTE buffer[4096];
    DWORD count = 0;
    while (ReadFile(handle, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
      got.append(buffer, buffer + count);
    }
    heard += got;
    return got;
  }
  std::string Take() {
    Read();
    return std::exchange(heard, {});
  }
  bool Await(const std::string& text, std::chrono::milliseconds within) {
    std::int64_t until = NowMs() + within.count();
    while (Read(), heard.find(text) == std::string::npos) {
      if (NowMs() >= until) return false;
      Sleep(1);
    }
    return true;
  }
  DWORD Status() {
    DWORD status = 0;
    GetCommModemStatus(handle, &status);
    return status;
  }
  std::uint64_t Overruns() {
    return modem->WithFirmware([](Firmware& firmware) { return firmware.overruns(); });
  }

  std::shared_ptr<platform::win32::InProcessPort> port;
  std::shared_ptr<SerialModem> modem;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string heard;
};

class SerialCall : public ::testing::Test {
 protected:
  // The first modem calls the second, which answers on its first ring.
  void Connect() {
    b.Type("ATS0=1\r");
    a.Type("ATD5550002\r");
    ASSERT_TRUE(a.Await("CONNECT 33600\r\n", 6s)) << a.heard;
    ASSERT_TRUE(b.Await("CONNECT 33600\r\n", 1s)) << b.heard;
    a.Take();
    b.Take();
  }
  // Reads on both sides until the second has heard `count` bytes; false after `within`.
  bool Collect(std::size_t count, std::chrono::milliseconds within) {
    std::int64_t until = NowMs() + within.count();
    while (b.Read(), a.Read(), b.heard.size() < count) {
      if (NowMs() >= until) return false;
      Sleep(1);
    }
    return true;
  }

  VirtualTime time;
  std::shared_ptr<PhoneLine> line = std::make_shared<PhoneLine>();
  Terminal a{"COM21", line, "5550001"};
  Terminal b{"COM22", line, "5550002"};
};

TEST_F(SerialCall, DialRingAnswerCarryDataAndHangUp) {
  b.Type("ATS0=2\r");
  ASSERT_TRUE(b.Await("OK\r\n", 1s));
  b.Take();
  std::int64_t dialled = NowMs();
  a.Type("ATDT 555-0002\r");
  ASSERT_TRUE(b.Await("\r\nRING\r\n", 3s));
  EXPECT_NEAR(static_cast<double>(NowMs() - dialled), 2000, 20);
  EXPECT_TRUE(b.Status() & MS_RING_ON);
  Sleep(2100);
  EXPECT_FALSE(b.Status() & MS_RING_ON);
  ASSERT_TRUE(a.Await("\r\nCONNECT 33600\r\n", 10s)) << a.heard;
  EXPECT_NEAR(static_cast<double>(NowMs() - dialled), 2000 + 6000 + 3000, 20);
  ASSERT_TRUE(b.Await("\r\nRING\r\n\r\nCONNECT 33600\r\n", 10ms)) << b.heard;
  EXPECT_EQ(a.Status(), DWORD{MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON});
  EXPECT_EQ(b.Status(), DWORD{MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON});
  a.Take();
  b.Take();

  // 1500 bytes each way at once: 130 ms on the port's cable, then 446 ms on the line.
  std::string there = Pattern(1500, ' ');
  std::string back = Pattern(1500, '0');
  std::int64_t sent = NowMs();
  a.Type(there);
  b.Type(back);
  Sleep(400);
  EXPECT_LT(b.Read().size(), there.size());
  ASSERT_TRUE(Collect(there.size(), 1s));
  EXPECT_NEAR(static_cast<double>(NowMs() - sent), 130 + 446, 15);
  while (a.heard.size() < back.size() && NowMs() - sent < 1000) {
    Sleep(1);
    a.Read();
  }
  EXPECT_EQ(b.Take(), there);
  EXPECT_EQ(a.Take(), back);

  Sleep(1100);
  std::int64_t escaped = NowMs();
  a.Type("+++");
  ASSERT_TRUE(a.Await("\r\nOK\r\n", 2s));
  EXPECT_GE(NowMs() - escaped, 1000);
  EXPECT_TRUE(a.Status() & MS_RLSD_ON);  // the call is kept in command mode
  a.Type("ATH\r");
  ASSERT_TRUE(a.Await("ATH\r\r\nOK\r\n", 1s)) << a.heard;
  ASSERT_TRUE(b.Await("+++\r\nNO CARRIER\r\n", 1s)) << b.heard;
  EXPECT_FALSE(a.Status() & MS_RLSD_ON);
  EXPECT_FALSE(b.Status() & MS_RLSD_ON);
}

TEST_F(SerialCall, BusyAndUnknownNumbers) {
  Terminal c{"COM23", line, "5550003"};
  Connect();
  c.Type("ATE0D5550002\r");
  ASSERT_TRUE(c.Await("\r\nBUSY\r\n", 3s)) << c.heard;
  EXPECT_EQ(b.Take(), "");  // the call in progress does not notice
  c.Take();
  c.Type("ATS7=10D5550004\r");
  ASSERT_TRUE(c.Await("\r\nNO CARRIER\r\n", 3s)) << c.heard;  // nobody has that number
}

TEST_F(SerialCall, NoAnswerWithinS7) {
  a.Type("ATE0S7=10D5550002\r");
  ASSERT_TRUE(b.Await("\r\nRING\r\n", 3s));
  std::int64_t rang = NowMs();
  ASSERT_TRUE(a.Await("\r\nNO ANSWER\r\n", 9s)) << a.heard;
  EXPECT_NEAR(static_cast<double>(NowMs() - rang), 8000, 20);
  Sleep(6000);
  EXPECT_EQ(b.Take(), "\r\nRING\r\n\r\nRING\r\n");
  EXPECT_FALSE(b.Status() & MS_RING_ON);
}

TEST_F(SerialCall, ADroppedLineGivesNoCarrierOnBothSides) {
  Connect();
  line->DropAt("5550002", platform::clock::Current().Now() + 200ms);
  ASSERT_TRUE(a.Await("\r\nNO CARRIER\r\n", 1s));
  ASSERT_TRUE(b.Await("\r\nNO CARRIER\r\n", 1s));
  EXPECT_FALSE(a.Status() & MS_RLSD_ON);
  EXPECT_FALSE(b.Status() & MS_RLSD_ON);
  a.Type("AT\r");  // back in command mode
  EXPECT_TRUE(a.Await("AT\r\r\nOK\r\n", 1s)) << a.heard;
}

TEST_F(SerialCall, DroppingDtrHangsUp) {
  Connect();
  EscapeCommFunction(a.handle, CLRDTR);
  ASSERT_TRUE(b.Await("\r\nNO CARRIER\r\n", 1s));
  EXPECT_FALSE(a.Status() & MS_RLSD_ON);
}

// Under &K3 CTS goes off at the transmit buffer's high water mark and comes back at the low
// one; a host whose port honours CTS loses nothing, one whose port ignores it loses what the
// buffer cannot hold.
TEST_F(SerialCall, CtsHoldsAHostThatWritesFasterThanTheLine) {
  Connect();
  auto samples = std::make_shared<std::vector<bool>>();
  for (int i = 1; i <= 250; ++i) {
    time.clock().Schedule(time.clock().Now() + 10ms * i, [samples, port = a.port] {
      samples->push_back((port->Snapshot().modemStatus & MS_CTS_ON) != 0);
    });
  }
  a.SetCtsFlow(true);
  std::string data = Pattern(6000, '!');
  std::int64_t start = NowMs();
  a.Type(data);
  // The last bytes were taken once the buffer had room for them: 4464 bytes after the first
  // high water mark, at the line rate.
  EXPECT_GE(NowMs() - start, 1200);
  ASSERT_TRUE(Collect(data.size(), 3s));
  // The line never waits: the first 1536 bytes cross the cable (133 ms), then all go at the
  // line rate, the buffer refilled from its low water mark faster than the line drains it.
  EXPECT_NEAR(static_cast<double>(NowMs() - start), 133 + 1786, 10);
  EXPECT_EQ(b.Take(), data);
  EXPECT_EQ(a.Overruns(), 0u);
  Sleep(600);
  ASSERT_EQ(samples->size(), 250u);
  EXPECT_NE(std::count(samples->begin(), samples->end(), false), 0);
  EXPECT_TRUE(samples->back());

  a.SetCtsFlow(false);
  a.Type(data);
  Collect(data.size(), 3s);
  EXPECT_EQ(b.heard.size(), Firmware::kTransmitBuffer);
  EXPECT_EQ(a.Overruns(), data.size() - Firmware::kTransmitBuffer);
}

TEST_F(SerialCall, RtsOffHoldsTheFarSidesData) {
  Connect();
  EscapeCommFunction(b.handle, CLRRTS);
  a.Type("hello");
  Sleep(500);
  EXPECT_EQ(b.Read(), "");
  EscapeCommFunction(b.handle, SETRTS);
  EXPECT_TRUE(b.Await("hello", 10ms));
}

// Under &K4 the modem sends XOFF at the high water mark and XON at the low one, and stops its
// data to the host while the host has sent XOFF.
TEST_F(SerialCall, XonXoffBothWays) {
  a.Type("AT&K4\r");
  b.Type("AT&K4\r");
  Connect();
  std::string data = Pattern(6000, '#');
  std::size_t sent = 0;
  bool stopped = false;
  int xoffs = 0;
  int xons = 0;
  while (sent < data.size()) {
    for (char c : a.Read()) {
      if (c == '\x13') ++xoffs, stopped = true;
      if (c == '\x11') ++xons, stopped = false;
    }
    if (!stopped) {
      a.Type(data.substr(sent, 64));
      sent += 64;
    }
    b.Read();
    Sleep(5);
  }
  ASSERT_TRUE(Collect(data.size(), 3s));
  EXPECT_EQ(b.Take(), data);
  EXPECT_GE(xoffs, 1);
  EXPECT_EQ(xons, xoffs);
  EXPECT_EQ(a.Overruns(), 0u);
  a.Take();

  b.Type("\x13");
  a.Type("hello");
  Sleep(500);
  EXPECT_EQ(b.Read(), "");
  b.Type("\x11");
  EXPECT_TRUE(b.Await("hello", 10ms));
  Sleep(100);
  EXPECT_EQ(a.Read(), "");  // the host's XON and XOFF stay with its modem
}

}  // namespace
