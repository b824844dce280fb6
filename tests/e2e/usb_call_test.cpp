// A call through the whole driver stack in virtual time: two USB modems on one telephone line,
// each behind mdmcore and the serial-port driver as a COM port. COM3 dials, COM4 answers on its
// own, the carrier shows at both COM ports, bytes cross both ways once and in order, and a
// hang-up drops the carrier again. The answering side can also wait for the carrier with
// WaitCommEvent instead of reading the modem's messages.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>

#include "platform/clock/clock.h"
#include "platform/wdm/pool.h"
#include "sim/modem/phone_line.h"
#include "tests/support/temp_root.h"
#include "tests/support/virtual_time.h"
#include "tools/mdmsim/rig.h"

namespace {

// A COM port opened for blocking reads that end once the line has been quiet for 50 ms.
class Host {
 public:
  explicit Host(const char* name) {
    port_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    COMMTIMEOUTS timeouts{50, 0, 500, 0, 0};
    SetCommTimeouts(port_, &timeouts);
  }
  ~Host() {
    if (waiter_.joinable) AwaitEvents(0);
    CloseHandle(port_);
  }
  bool open() const { return port_ != INVALID_HANDLE_VALUE; }

  void Write(const std::string& text) {
    DWORD written = 0;
    WriteFile(port_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  // Reads until `text` has come (true) or `limitMs` of virtual time have passed.
  bool AwaitText(const std::string& text, int limitMs) {
    for (int waited = 0; got.find(text) == std::string::npos; waited += 500) {
      if (waited > limitMs) return false;
      char buffer[4096];
      DWORD count = 0;
      ReadFile(port_, buffer, sizeof(buffer), &count, nullptr);
      got.append(buffer, count);
    }
    return true;
  }
  DWORD Lines() {
    DWORD status = 0;
    GetCommModemStatus(port_, &status);
    return status;
  }

  // Chooses `events` and waits for them on a thread of its own, as a program waits for the
  // carrier beside its other work. Events that come before the thread waits are kept for it.
  void WaitAside(DWORD events) {
    SetCommMask(port_, events);
    waitEnded_ = false;
    waiter_ = platform::clock::Spawn("event waiter", [this] {
      seen_ = 0;
      if (!WaitCommEvent(port_, &seen_, nullptr)) seen_ = 0;
      waitEnded_ = true;
    });
  }
  // The events that ended the wait, or 0 when none came within `limitMs` of virtual time (a new
  // mask then ends the wait).
  DWORD AwaitEvents(int limitMs) {
    for (int waited = 0; !waitEnded_ && waited < limitMs; waited += 100) Sleep(100);
    if (!waitEnded_) SetCommMask(port_, 0);
    platform::clock::Join(waiter_);
    return seen_;
  }

  std::string got;

 private:
  HANDLE port_;
  platform::clock::SpawnedThread waiter_;
  std::atomic<bool> waitEnded_ = false;
  DWORD seen_ = 0;
};

// Two USB modems on one telephone line, numbers 3 and 4, each behind mdmcore and the
// serial-port driver as COM3 and COM4.
struct TwoModems {
  bool Plug() {
    auto line = std::make_shared<sim::modem::PhoneLine>();
    for (int i = 0; i < 2; ++i) {
      mdmsim::RiggedModem* modem =
          rig->AddModem(mdmsim::ComNameFor(i), {mdmsim::SerialFor(i), u"USB Modem", true});
      EXPECT_NE(modem, nullptr);
      if (modem == nullptr) return false;
      world->Call([&] { modem->device->PlugIntoLine(line, std::to_string(3 + i)); });
    }
    return true;
  }
  // The driver unloads cleanly and leaves no pool block behind.
  void ShutDown() {
    EXPECT_EQ(rig->Shutdown(), STATUS_SUCCESS);
    rig.reset();
    world.reset();
    EXPECT_EQ(platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding()),
              "pool: no block outstanding\n");
  }

  testing_support::TempRoot root;
  testing_support::VirtualTime time;
  std::optional<sim::world::World> world{std::in_place};
  std::optional<mdmsim::DriverRig> rig{std::in_place, *world};
};

// The caller's escape to command mode (guard times of 1.1 s around "+++") and hang-up.
void HangUp(Host& caller) {
  Sleep(1100);
  caller.Write("+++");
  Sleep(1100);
  caller.Write("ATH\r");
}

TEST(UsbCall, BytesCrossACallThroughTheDriverBothWays) {
  TwoModems modems;
  ASSERT_TRUE(modems.Plug());
  {
    Host caller("COM3");
    Host called("COM4");
    ASSERT_TRUE(caller.open() && called.open());
    called.Write("ATS0=1\r");
    ASSERT_TRUE(called.AwaitText("OK\r\n", 2000));
    caller.Write("ATD4\r");
    ASSERT_TRUE(caller.AwaitText("CONNECT 33600\r\n", 20000)) << caller.got;
    ASSERT_TRUE(called.AwaitText("CONNECT 33600\r\n", 20000)) << called.got;
    EXPECT_NE(caller.Lines() & MS_RLSD_ON, 0u);
    EXPECT_NE(called.Lines() & MS_RLSD_ON, 0u);

    std::string there, back;
    for (int i = 0; i < 3000; ++i) there += static_cast<char>(i * 7);
    for (int i = 0; i < 2000; ++i) back += static_cast<char>(255 - i * 13);
    caller.got.clear();
    called.got.clear();
    caller.Write(there);
    called.Write(back);
    EXPECT_TRUE(called.AwaitText(there, 20000));
    EXPECT_TRUE(caller.AwaitText(back, 20000));
    EXPECT_EQ(called.got, there);  // once and in order, nothing else
    EXPECT_EQ(caller.got, back);

    HangUp(caller);
    EXPECT_TRUE(called.AwaitText("NO CARRIER", 10000)) << called.got;
    EXPECT_EQ(called.Lines() & MS_RLSD_ON, 0u);
  }
  modems.ShutDown();
}

// The answering program waits for the line events it cares about (carrier, ring, CTS) while
// its modem answers on its own. The carrier's coming and going are one event each; the ring
// indicator never reaches the port (the modem's status register never shows it), so the
// "RING" message is the only sign of the ring and EV_RING never comes.
TEST(UsbCall, AnsweringPortWaitsForTheCarrierWithCommEvents) {
  TwoModems modems;
  ASSERT_TRUE(modems.Plug());
  {
    Host caller("COM3");
    Host called("COM4");
    ASSERT_TRUE(caller.open() && called.open());
    called.Write("ATS0=1\r");
    ASSERT_TRUE(called.AwaitText("OK\r\n", 2000));
    called.got.clear();

    called.WaitAside(EV_RLSD | EV_RING | EV_CTS);
    caller.Write("ATD4\r");
    EXPECT_TRUE(caller.AwaitText("CONNECT 33600\r\n", 20000)) << caller.got;
    EXPECT_EQ(called.AwaitEvents(20000), EV_RLSD);
    EXPECT_NE(called.Lines() & MS_RLSD_ON, 0u);
    ASSERT_TRUE(called.AwaitText("CONNECT 33600\r\n", 20000)) << called.got;
    EXPECT_NE(called.got.find("RING\r\n"), std::string::npos) << called.got;

    called.WaitAside(EV_RLSD | EV_RING | EV_CTS);
    HangUp(caller);
    EXPECT_EQ(called.AwaitEvents(10000), EV_RLSD);
    EXPECT_EQ(called.Lines() & MS_RLSD_ON, 0u);
    EXPECT_TRUE(called.AwaitText("NO CARRIER", 10000)) << called.got;
  }
  modems.ShutDown();
}

}  // namespace
