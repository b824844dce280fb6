// The modem service over the emulated usbfs, on the real clock: a modem plugged into the bus is
// started by mdmcore, bound to its COM number and served, and pyserial's RFC 2217 client talks
// to it; a modem that leaves is removed while the service goes on serving the others, and comes
// back on the same COM number.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "sim/usbdevice/modem.h"
#include "tests/support/run_program.h"
#include "tests/support/tcp_port.h"
#include "tests/usbfs/usbfs_testbed.h"
#include "tools/mdmd/service.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::usbdevice::UsbModem;
using testing_support::ProgramRun;
using testing_support::RunProgram;

constexpr char kPython[] = "/usr/bin/python3";

class MdmdOverUsbfs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root.path().empty()); }
  void TearDown() override {
    service.reset();
    std::lock_guard lock(logMutex);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "pool: no block outstanding") << Log();
  }

  int Plug(const std::u16string& serial, std::shared_ptr<UsbModem>* plugged = nullptr) {
    auto modem = std::make_shared<UsbModem>(sim::usbdevice::ModemIdentity{serial, u"Modem"});
    if (plugged != nullptr) *plugged = modem;
    return testbed.Add(modem, sim::usbdevice::ModemDescriptors({serial, u"Modem"}));
  }
  bool StartService() {
    std::string error;
    service = mdmd::Service::Start(
        {tcpBase},
        [this](const std::string& line) {
          std::lock_guard lock(logMutex);
          log.push_back(line);
        },
        error);
    EXPECT_EQ(error, "");
    return service != nullptr;
  }
  // Waits until exactly `ports` are served, for at most ten seconds.
  bool AwaitPorts(const std::vector<std::string>& ports) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (service->ComPorts() != ports && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    return service->ComPorts() == ports;
  }
  std::string Log() {
    std::string all;
    for (const std::string& line : log) all += line + "\n";
    return all;
  }
  bool Logged(const std::string& text) {
    std::lock_guard lock(logMutex);
    return Log().find(text) != std::string::npos;
  }
  // pyserial's RFC 2217 client asks COMn for "ati9"; what it printed.
  std::string AskOverRfc2217(int comNumber) {
    ProgramRun bounded{{}, 60s};
    auto client = RunProgram(
        kPython, {RFC2217_CLIENT, "rfc2217://127.0.0.1:" + std::to_string(tcpBase + comNumber)},
        root.path(), bounded);
    EXPECT_EQ(client.exitCode, 0) << client.err;
    return client.out;
  }
  fs::path Link(const char* name) const { return root.path() / "dosdevices" / name; }

  platform::TemporaryRoot root{"mdm-mdmd-"};
  tests::usbfs::UsbfsTestbed testbed;
  platform::clock::ThreadScope main{"test"};
  const int tcpBase = testing_support::FreeTcpPort() - 9;
  std::mutex logMutex;
  std::vector<std::string> log;
  std::unique_ptr<mdmd::Service> service;
};

bool HavePyserial(const fs::path& folder) {
  return RunProgram(kPython, {"-c", "import serial"}, folder).exitCode == 0;
}

TEST_F(MdmdOverUsbfs, APluggedModemIsBoundToCom3AndAnswersOverRfc2217) {
  if (!HavePyserial(root.path())) GTEST_SKIP() << "pyserial is missing (python3-serial)";
  Plug(u"0000C0FFEE01");
  ASSERT_TRUE(StartService());
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  EXPECT_TRUE(Logged("arrival: USB modem on bus 1 device 2")) << Log();
  EXPECT_TRUE(Logged("COM3: USB modem 0000C0FFEE01 on /dev/pts/")) << Log();
  EXPECT_TRUE(fs::is_symlink(Link("com3")));
  std::string answer = AskOverRfc2217(3);
  EXPECT_NE(answer.find("USB high power, bus-powered function\\r\\n\\r\\nOK"), std::string::npos)
      << answer;
  service.reset();
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link("com3"))));
  EXPECT_TRUE(Logged("stopped: USB modem 0000C0FFEE01 on COM3")) << Log();
}

// One modem leaves while both are served: it is removed by surprise and its port no longer
// served, the other one still answers; plugged in again, it is bound to its COM number again,
// which no other modem took meanwhile.
TEST_F(MdmdOverUsbfs, AModemThatLeavesComesBackOnItsComNumberWhileTheOtherIsServed) {
  if (!HavePyserial(root.path())) GTEST_SKIP() << "pyserial is missing (python3-serial)";
  int first = Plug(u"0000C0FFEE01");
  ASSERT_TRUE(StartService());
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  Plug(u"0000C0FFEE02");
  ASSERT_TRUE(AwaitPorts({"COM3", "COM4"})) << Log();
  std::this_thread::sleep_for(50ms);  // the first modem's streams run
  testbed.Remove(first);
  ASSERT_TRUE(AwaitPorts({"COM4"})) << Log();
  EXPECT_TRUE(
      Logged("departure: USB modem 0000C0FFEE01 from bus 1 device 2, COM3 no longer "
             "served"))
      << Log();
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link("com3"))));
  std::string answer = AskOverRfc2217(4);
  EXPECT_NE(answer.find("USB high power, bus-powered function\\r\\n\\r\\nOK"), std::string::npos)
      << answer;
  // COM3 stays the first modem's while it is away: a modem new to the machine takes COM5.
  Plug(u"0000C0FFEE03");
  ASSERT_TRUE(AwaitPorts({"COM4", "COM5"})) << Log();
  Plug(u"0000C0FFEE01");
  ASSERT_TRUE(AwaitPorts({"COM4", "COM5", "COM3"})) << Log();
  answer = AskOverRfc2217(3);
  EXPECT_NE(answer.find("USB high power, bus-powered function\\r\\n\\r\\nOK"), std::string::npos)
      << answer;
}

// A user's mdmflash, in the platform root mdmd serves, finds COM3 in the serial-port map the
// driver wrote and updates the modem's flash over the served terminal, byte for byte.
TEST_F(MdmdOverUsbfs, MdmflashUpdatesTheModemThroughTheServedPort) {
  std::shared_ptr<UsbModem> modem;
  Plug(u"0000C0FFEE01", &modem);
  ASSERT_TRUE(StartService());
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  std::vector<std::uint8_t> image(3000);
  std::uint32_t seed = 12345;
  for (auto& byte : image)
    byte = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
  const fs::path file = root.path() / "firmware.bin";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  auto run = RunProgram(MDMFLASH_PATH, {"--headless", "--image", file.string()}, root.path(),
                        ProgramRun{{{"DISPLAY", ""}}, 85s});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(testbed.WithDevices([&] { return modem->firmware().flash().image(); }), image);
}

}  // namespace

int main(int argc, char** argv) {
  tests::usbfs::RunUnderUsbfsPreload(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
