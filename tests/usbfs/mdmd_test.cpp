// The modem service over the emulated usbfs, on the real clock: a modem plugged into the bus is
// started by mdmcore, bound to its COM number and served, and pyserial's RFC 2217 client talks
// to it; mdmflash updates it over RFC 2217 from another platform root; a modem that leaves, even
// in the middle of an update, is removed while the service goes on serving the others, and
// comes back on the same COM number. The built program runs against the same emulated bus (its
// ioctls reach this process's testbed through umockdev's preload, inherited).
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "sim/usbdevice/modem.h"
#include "tests/support/background_program.h"
#include "tests/support/pyserial.h"
#include "tests/support/run_program.h"
#include "tests/support/tcp_port.h"
#include "tests/usbfs/usbfs_testbed.h"
#include "tools/mdmd/service.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::usbdevice::UsbModem;
using testing_support::BackgroundProgram;
using testing_support::HavePyserial;
using testing_support::kPython;
using testing_support::ProgramRun;
using testing_support::RunProgram;

constexpr char kSerialPortKey[] = "HKLM\\Hardware\\Devicemap\\Serialcomm";
constexpr char kAti9Answer[] = "USB high power, bus-powered function\\r\\n\\r\\nOK";

class MdmdOverUsbfs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root.path().empty()); }
  void TearDown() override {
    if (service == nullptr) return;
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
  bool StartService(std::vector<std::string> serials = {},
                    std::optional<mdmsim::StallPlan> stalls = std::nullopt) {
    std::string error;
    service = mdmd::Service::Start(
        {tcpBase, std::move(serials), stalls},
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
  // Waits until the log holds `text`, for at most ten seconds.
  bool AwaitLogged(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Logged(text) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    return Logged(text);
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

  // The platform root of another user of this machine, whose COMn is mdmd's RFC 2217 server
  // for it: the link and the serial-port map's entry, as a user sets a remote port up.
  fs::path RemoteRoot(int comNumber) {
    const fs::path remote = root.path() / "remote";
    const std::string number = std::to_string(comNumber);
    fs::create_directories(remote / "dosdevices");
    fs::create_symlink("rfc2217://127.0.0.1:" + std::to_string(tcpBase + comNumber),
                       remote / "dosdevices" / ("com" + number));
    auto set =
        RunProgram(MDMREG_PATH, {"set", kSerialPortKey, "COM" + number, "REG_SZ", "COM" + number},
                   remote, ProgramRun{{{"MDM_ROOT", remote.string()}}, 30s});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    return remote;
  }
  // A firmware image of `size` bytes of noise, in the test's root.
  std::pair<fs::path, std::vector<std::uint8_t>> Image(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t seed = 12345;
    for (auto& byte : image) {
      byte = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    }
    const fs::path file = root.path() / "firmware.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return {file, image};
  }

  // The bytes of the image the modem has written to its flash so far.
  std::size_t Written(const std::shared_ptr<UsbModem>& modem) {
    return testbed.WithDevices([&] { return modem->firmware().flash().image().size(); });
  }
  // Waits until the modem has written `size` bytes, for at most a minute.
  bool AwaitWritten(const std::shared_ptr<UsbModem>& modem, std::size_t size) {
    for (auto until = std::chrono::steady_clock::now() + 60s;
         Written(modem) < size && std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(5ms);
    }
    return Written(modem) >= size;
  }

  platform::TemporaryRoot root{"mdm-mdmd-"};
  tests::usbfs::UsbfsTestbed testbed;
  platform::clock::ThreadScope main{"test"};
  const int tcpBase = testing_support::FreeTcpPort() - 9;
  std::mutex logMutex;
  std::vector<std::string> log;
  std::unique_ptr<mdmd::Service> service;
};

TEST_F(MdmdOverUsbfs, APluggedModemIsBoundToCom3AndAnswersOverRfc2217) {
  if (!HavePyserial(root.path())) GTEST_SKIP() << "pyserial is missing (python3-serial)";
  Plug(u"0000C0FFEE01");
  ASSERT_TRUE(StartService());
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  EXPECT_TRUE(Logged("arrival: USB modem on bus 1 device 2")) << Log();
  EXPECT_TRUE(Logged("COM3: USB modem 0000C0FFEE01 on /dev/pts/")) << Log();
  EXPECT_TRUE(fs::is_symlink(Link("com3")));
  std::string answer = AskOverRfc2217(3);
  EXPECT_NE(answer.find(kAti9Answer), std::string::npos) << answer;
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
  EXPECT_NE(answer.find(kAti9Answer), std::string::npos) << answer;
  // COM3 stays the first modem's while it is away: a modem new to the machine takes COM5.
  Plug(u"0000C0FFEE03");
  ASSERT_TRUE(AwaitPorts({"COM4", "COM5"})) << Log();
  Plug(u"0000C0FFEE01");
  ASSERT_TRUE(AwaitPorts({"COM4", "COM5", "COM3"})) << Log();
  answer = AskOverRfc2217(3);
  EXPECT_NE(answer.find(kAti9Answer), std::string::npos) << answer;
}

// A user's mdmflash, in a platform root of its own whose COM3 is mdmd's RFC 2217 server, finds
// the modem there and updates its flash, byte for byte; also while the host stalls the kernel's
// processor and the bus's frames for up to 50 ms at a time, as a busy machine does.
struct UpdateCase {
  const char* name;
  std::size_t imageSize;
  bool stalls;
};

class MdmdUpdates : public MdmdOverUsbfs, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(MdmdUpdates, MdmflashUpdatesTheModemOverRfc2217) {
  std::shared_ptr<UsbModem> modem;
  Plug(u"0000C0FFEE01", &modem);
  std::optional<mdmsim::StallPlan> stalls;
  if (GetParam().stalls) {
    stalls = mdmsim::StallPlan{60, 50};
    testbed.Stall(*stalls, 2801);
  }
  ASSERT_TRUE(StartService({}, stalls));
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  const fs::path remote = RemoteRoot(3);
  auto [file, image] = Image(GetParam().imageSize);
  auto run = RunProgram(MDMFLASH_PATH, {"--headless", "--image", file.string()}, remote,
                        ProgramRun{{{"DISPLAY", ""}, {"MDM_ROOT", remote.string()}}, 85s});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(testbed.WithDevices([&] { return modem->firmware().flash().image(); }), image);
}

INSTANTIATE_TEST_SUITE_P(OnTheBus, MdmdUpdates,
                         ::testing::Values(UpdateCase{"Quiet", 3000, false},
                                           UpdateCase{"WhileTheHostStalls", 24 * 1024, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The modem is pulled out while mdmflash sends it an image: the update fails (exit status 1)
// instead of hanging, the driver lets go of the modem (the pool is empty when the service
// stops), the other modem is still served, and the modem plugged in again is COM3 again.
TEST_F(MdmdOverUsbfs, AModemPulledOutMidUpdateFailsItWhileTheOtherIsStillServed) {
  if (!HavePyserial(root.path())) GTEST_SKIP() << "pyserial is missing (python3-serial)";
  std::shared_ptr<UsbModem> modem;
  int first = Plug(u"0000C0FFEE01", &modem);
  ASSERT_TRUE(StartService());
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  Plug(u"0000C0FFEE02");
  ASSERT_TRUE(AwaitPorts({"COM3", "COM4"})) << Log();
  const fs::path remote = RemoteRoot(3);
  constexpr std::size_t kImageSize = 64 * 1024;
  auto [file, image] = Image(kImageSize);
  BackgroundProgram update(MDMFLASH_PATH, {"--headless", "--image", file.string()}, remote,
                           {{"DISPLAY", ""}, {"MDM_ROOT", remote.string()}});
  ASSERT_TRUE(AwaitWritten(modem, 4096)) << update.out() << update.err();
  testbed.Remove(first);
  EXPECT_EQ(update.AwaitExit(60s), 1) << update.out() << update.err();
  EXPECT_NE(update.out().find("Sorry, update failed."), std::string::npos) << update.out();
  EXPECT_LT(Written(modem), kImageSize);
  ASSERT_TRUE(AwaitPorts({"COM4"})) << Log();
  EXPECT_NE(AskOverRfc2217(4).find(kAti9Answer), std::string::npos);
  Plug(u"0000C0FFEE01");
  ASSERT_TRUE(AwaitPorts({"COM4", "COM3"})) << Log();
}

// With serial numbers named, the service leaves every other modem alone.
TEST_F(MdmdOverUsbfs, OnlyTheModemsNamedAreServed) {
  Plug(u"0000C0FFEE01");
  Plug(u"0000C0FFEE02");
  ASSERT_TRUE(StartService({"0000c0ffee02"}));
  EXPECT_TRUE(
      AwaitLogged("ignored: USB modem 0000C0FFEE01 on bus 1 device 2, not named with --serial"))
      << Log();
  ASSERT_TRUE(AwaitPorts({"COM3"})) << Log();
  EXPECT_TRUE(Logged("COM3: USB modem 0000C0FFEE02 on /dev/pts/")) << Log();
}

// The built mdmd serves the modems on the bus, logs their arrivals and departures, starts the
// install program for each, and on SIGTERM stops every modem, removes the links and exits with
// 143 after the pool report.
TEST_F(MdmdOverUsbfs, TheProgramServesUntilSigtermAndLeavesNothingBehind) {
  if (!HavePyserial(root.path())) GTEST_SKIP() << "pyserial is missing (python3-serial)";
  int first = Plug(u"0000C0FFEE01");
  const fs::path scratch = root.path() / "mdmd";
  fs::create_directories(scratch);
  BackgroundProgram mdmd(MDMD_PATH, {"--rfc2217-base", std::to_string(tcpBase)}, scratch, {});
  ASSERT_TRUE(mdmd.AwaitError("COM3: USB modem 0000C0FFEE01", 30s)) << mdmd.err();
  Plug(u"0000C0FFEE02");
  ASSERT_TRUE(mdmd.AwaitError("COM4: USB modem 0000C0FFEE02", 30s)) << mdmd.err();
  EXPECT_NE(AskOverRfc2217(3).find(kAti9Answer), std::string::npos);
  testbed.Remove(first);
  EXPECT_TRUE(mdmd.AwaitError(
      "departure: USB modem 0000C0FFEE01 from bus 1 device 2, COM3 no longer served", 30s))
      << mdmd.err();
  EXPECT_EQ(mdmd.Stop(SIGTERM, 30s), 143) << mdmd.err();
  const std::string log = mdmd.err();
  EXPECT_NE(log.find("mdmd: stopped: USB modem 0000C0FFEE02 on COM4\n"
                     "mdmd: pool: no block outstanding\n"
                     "mdmd: stopped by SIGTERM\n"),
            std::string::npos)
      << log;
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link("com3"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link("com4"))));
  EXPECT_EQ(testing_support::ReadWholeFile(root.path() / "mdminst.log"),
            "0000C0FFEE01#Modem\n0000C0FFEE02#Modem\n");
}

// A busy host, or a user's Ctrl-Z, stops whole processes for seconds: the built mdmd paused
// for 2 s in the middle of an update through it, and later mdmflash, and the image still
// arrives byte for byte.
TEST_F(MdmdOverUsbfs, AnUpdateSurvivesTheServiceAndThenTheUpdaterPausedForTwoSeconds) {
  std::shared_ptr<UsbModem> modem;
  Plug(u"0000C0FFEE01", &modem);
  const fs::path scratch = root.path() / "mdmd";
  fs::create_directories(scratch);
  BackgroundProgram mdmd(MDMD_PATH, {"--rfc2217-base", std::to_string(tcpBase)}, scratch, {});
  ASSERT_TRUE(mdmd.AwaitError("COM3: USB modem 0000C0FFEE01", 30s)) << mdmd.err();
  const fs::path remote = RemoteRoot(3);
  auto [file, image] = Image(40 * 1024);
  BackgroundProgram update(MDMFLASH_PATH, {"--headless", "--image", file.string()}, remote,
                           {{"DISPLAY", ""}, {"MDM_ROOT", remote.string()}});
  ASSERT_TRUE(AwaitWritten(modem, 8 * 1024)) << update.out() << mdmd.err();
  mdmd.Pause(2s);
  ASSERT_TRUE(AwaitWritten(modem, 20 * 1024)) << update.out() << mdmd.err();
  update.Pause(2s);
  EXPECT_EQ(update.AwaitExit(80s), 0) << update.out() << update.err();
  EXPECT_EQ(testbed.WithDevices([&] { return modem->firmware().flash().image(); }), image);
  EXPECT_EQ(mdmd.Stop(SIGTERM, 30s), 143) << mdmd.err();
}

// mdmd killed (SIGKILL) in the middle of an update leaves its links and .lines files behind.
// Started again, it serves the modems on the same COM numbers: the links are replaced
// by links to its own terminals, the lines declared anew, the registry reads back, and the next
// update succeeds byte for byte.
TEST_F(MdmdOverUsbfs, KilledMidUpdateAndStartedAgainItServesTheSameComNumbers) {
  std::shared_ptr<UsbModem> modem;
  Plug(u"0000C0FFEE01", &modem);
  const std::vector<std::string> args{"--rfc2217-base", std::to_string(tcpBase)};
  const fs::path first = root.path() / "first", second = root.path() / "second";
  fs::create_directories(first);
  fs::create_directories(second);
  auto killed = std::make_unique<BackgroundProgram>(MDMD_PATH, args, first,
                                                    std::map<std::string, std::string>{});
  ASSERT_TRUE(killed->AwaitError("COM3: USB modem 0000C0FFEE01", 30s)) << killed->err();
  Plug(u"0000C0FFEE02");
  ASSERT_TRUE(killed->AwaitError("COM4: USB modem 0000C0FFEE02", 30s)) << killed->err();
  const fs::path remote = RemoteRoot(3);
  auto [file, image] = Image(64 * 1024);
  BackgroundProgram update(MDMFLASH_PATH, {"--headless", "--image", file.string()}, remote,
                           {{"DISPLAY", ""}, {"MDM_ROOT", remote.string()}});
  ASSERT_TRUE(AwaitWritten(modem, 4096)) << update.out() << update.err();
  killed->Stop(SIGKILL, 30s);
  EXPECT_EQ(update.AwaitExit(60s), 1) << update.out() << update.err();
  // The links stay behind. Whether they dangle is not the test's to say: the kernel hands the
  // killed service's terminal numbers to the next program that opens one.
  for (const char* name : {"com3", "com4"}) EXPECT_TRUE(fs::is_symlink(Link(name))) << name;

  BackgroundProgram again(MDMD_PATH, args, second, {});
  ASSERT_TRUE(again.AwaitError("COM3: USB modem 0000C0FFEE01 on ", 30s)) << again.err();
  ASSERT_TRUE(again.AwaitError("COM4: USB modem 0000C0FFEE02 on ", 30s)) << again.err();
  for (const char* name : {"com3", "com4"}) {
    const std::string terminal = fs::read_symlink(Link(name)).string();
    EXPECT_NE(again.err().find("on " + terminal + " ("), std::string::npos) << terminal;
    EXPECT_TRUE(fs::exists(Link(name))) << name;
    const fs::path lines = fs::path(Link(name)).concat(".lines");
    EXPECT_GT(fs::last_write_time(lines), fs::last_write_time(first / "background-err.txt"));
  }
  ProgramRun inRoot{{{"MDM_ROOT", root.path().string()}}, 30s};
  auto bindings = RunProgram(MDMREG_PATH, {"query", kSerialPortKey}, root.path(), inRoot);
  EXPECT_EQ(bindings.exitCode, 0) << bindings.err;
  EXPECT_NE(bindings.out.find("COM3"), std::string::npos) << bindings.out;
  EXPECT_NE(bindings.out.find("COM4"), std::string::npos) << bindings.out;
  EXPECT_EQ(RunProgram(MDMREG_PATH, {"export"}, root.path(), inRoot).exitCode, 0);

  auto [next, nextImage] = Image(3000);
  auto run = RunProgram(MDMFLASH_PATH, {"--headless", "--image", next.string()}, remote,
                        ProgramRun{{{"DISPLAY", ""}, {"MDM_ROOT", remote.string()}}, 85s});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(testbed.WithDevices([&] { return modem->firmware().flash().image(); }), nextImage);
  EXPECT_EQ(again.Stop(SIGTERM, 30s), 143) << again.err();
  EXPECT_NE(again.err().find("mdmd: pool: no block outstanding\n"), std::string::npos)
      << again.err();
}

// What a user reads when a modem cannot be opened: the node, and what to do about it.
TEST(MdmdOpenFailure, SaysWhatIsMissingForTheNode) {
  EXPECT_EQ(mdmd::OpenFailureHint(LIBUSB_ERROR_ACCESS, 1, 7),
            "cannot open /dev/bus/usb/001/007: no permission; install contrib/60-mdmd.rules in "
            "/etc/udev/rules.d, run 'udevadm control --reload && udevadm trigger', and plug the "
            "modem in again");
  EXPECT_EQ(mdmd::OpenFailureHint(LIBUSB_ERROR_BUSY, 2, 12),
            "cannot open /dev/bus/usb/002/012: another program or driver holds the modem");
  EXPECT_EQ(mdmd::OpenFailureHint(LIBUSB_ERROR_NO_MEM, 1, 3),
            "cannot open /dev/bus/usb/001/003: LIBUSB_ERROR_NO_MEM");
}

}  // namespace
