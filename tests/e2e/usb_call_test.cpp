// A call through the whole driver stack in virtual time: two USB modems on one telephone line,
// each behind mdmcore and the serial-port driver as a COM port. COM3 dials, COM4 answers on its
// own, the carrier shows at both COM ports, bytes cross both ways once and in order, and a
// hang-up drops the carrier again.
#include <gtest/gtest.h>

#include <optional>
#include <string>

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
  ~Host() { CloseHandle(port_); }
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

  std::string got;

 private:
  HANDLE port_;
};

TEST(UsbCall, BytesCrossACallThroughTheDriverBothWays) {
  testing_support::TempRoot root;
  testing_support::VirtualTime time;
  std::optional<sim::world::World> world(std::in_place);
  std::optional<mdmsim::DriverRig> rig(std::in_place, *world);
  auto line = std::make_shared<sim::modem::PhoneLine>();
  for (int i = 0; i < 2; ++i) {
    mdmsim::RiggedModem* modem =
        rig->AddModem(mdmsim::ComNameFor(i), {mdmsim::SerialFor(i), u"USB Modem", true});
    ASSERT_NE(modem, nullptr);
    world->Call([&] { modem->device->PlugIntoLine(line, std::to_string(3 + i)); });
  }
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

    Sleep(1100);  // the escape's guard time, before and after
    caller.Write("+++");
    Sleep(1100);
    caller.Write("ATH\r");
    EXPECT_TRUE(called.AwaitText("NO CARRIER", 10000)) << called.got;
    EXPECT_EQ(called.Lines() & MS_RLSD_ON, 0u);
  }
  EXPECT_EQ(rig->Shutdown(), STATUS_SUCCESS);
  rig.reset();
  world.reset();
  EXPECT_EQ(platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding()),
            "pool: no block outstanding\n");
}

}  // namespace
