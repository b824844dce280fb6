// mdmcore on the libusb host controller, over the emulated usbfs, on the real clock: the driver
// starts the modem (descriptors, strings, configuration, its streams running frame by frame),
// stops and removes it with nothing left in the pool, and survives the device leaving the bus
// while its transfers are in flight.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "driver/core/devext.h"
#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/usb/libusb/libusb_host_controller.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/kernel_thread.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/processor.h"
#include "platform/wdm/verifier.h"
#include "sim/portdrv/modem_port.h"
#include "sim/usbdevice/modem.h"
#include "tests/usbfs/usbfs_testbed.h"
#include "updater/serial/serial.h"

namespace {

namespace clock = platform::clock;
namespace pnp = platform::wdm::pnp;
namespace pool = platform::wdm::pool;
using sim::usbdevice::UsbModem;
using namespace std::chrono_literals;

class DriverOverLibusb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    platform::vxd::ResetSystem();
    modem = std::make_shared<UsbModem>(sim::usbdevice::ModemIdentity{u"0000C0FFEE01", u"Modem"});
    device = testbed.Add(modem, sim::usbdevice::ModemDescriptors({u"0000C0FFEE01", u"Modem"}));
    ASSERT_EQ(libusb_init(&context), 0);
    kernel.emplace();
    kernel->processor().Call([&] { controller.emplace(kernel->processor(), context); });
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context, &list), 1);
    port = controller->Attach(list[0]);
    libusb_free_device_list(list, 1);
    ASSERT_NE(port, 0u);
    pdo = controller->Pdo(port);
    ASSERT_EQ(pnp::LoadDriver(DriverEntry, "mdmcore", &driver), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (port != 0) controller->Forget(port);
    if (driver != nullptr) pnp::UnloadDriver(driver);
    EXPECT_EQ(pool::FormatReport(pool::Outstanding()), "pool: no block outstanding\n");
    kernel->processor().Call([&] { controller.reset(); });
    kernel.reset();
    libusb_exit(context);
    std::string all;
    for (const std::string& violation : recorder.Violations()) all += violation + "\n";
    EXPECT_TRUE(all.empty()) << "driver verifier:\n" << all;
  }

  DEVICE_EXTENSION* Start() {
    EXPECT_EQ(pnp::AddDevice(driver, pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    EXPECT_NE(fdo, nullptr);
    if (fdo == nullptr) return nullptr;
    EXPECT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
    return Extension(fdo);
  }
  std::uint64_t StatusPackets() {
    return testbed.WithDevices([&] { return modem->statusPackets(); });
  }

  platform::TemporaryRoot root{"mdm-usbfs-"};
  platform::wdm::verifier::Recorder recorder;
  tests::usbfs::UsbfsTestbed testbed;
  std::shared_ptr<UsbModem> modem;
  int device = 0;
  libusb_context* context = nullptr;
  clock::ThreadScope main{"test"};
  std::optional<platform::wdm::KernelThread> kernel;
  std::optional<platform::usb::LibusbHostController> controller;
  ULONG port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(DriverOverLibusb, StartsTheModemAndRunsItsStatusStream) {
  DEVICE_EXTENSION* extension = Start();
  ASSERT_NE(extension, nullptr);
  EXPECT_TRUE(extension->started);
  EXPECT_EQ(std::string(extension->serialNumber), "0000C0FFEE01");
  EXPECT_EQ(std::string(extension->productName), "Modem");
  ASSERT_NE(extension->interfaceInfo, nullptr);
  EXPECT_EQ(extension->interfaceInfo->NumberOfPipes, 5u);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->configuration(); }), 2);
  // The driver keeps one status transfer of one packet going, each asked for the frame after the
  // one its predecessor's completion ran in: a packet every second frame, on the simulated
  // controller as here (on an idle machine); fewer than one in four means frames are lost.
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (StatusPackets() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  std::uint64_t before = StatusPackets();
  ASSERT_GT(before, 0u) << "the status stream never started";
  std::this_thread::sleep_for(200ms);
  EXPECT_GT(StatusPackets() - before, 50u);
  EXPECT_EQ(pnp::StopDevice(pdo), STATUS_SUCCESS);
  std::uint64_t stopped = StatusPackets();
  std::this_thread::sleep_for(20ms);
  EXPECT_LE(StatusPackets() - stopped, 2u) << "the status stream outlived the stop";
  // libusb reaped a URB for every status packet, and one more at most: the transfer the stop
  // took back before its frame.
  std::uint64_t reaped = testbed.Reaped(0x81);
  EXPECT_GE(reaped, StatusPackets());
  EXPECT_LE(reaped, StatusPackets() + 1);
  EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(DriverOverLibusb, TheModemLeavingTheBusEndsItsTransfersAndFreesEverything) {
  ASSERT_NE(Start(), nullptr);
  std::this_thread::sleep_for(50ms);
  kernel->processor().Call([&] { controller->Unplug(port); });
  EXPECT_EQ(pnp::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

// The road of one command on a real bus: "ati9" written to COM3 goes through the serial-port
// driver, mdmcore, the libusb host controller and usbfs to the modem, and its answer comes back.
TEST_F(DriverOverLibusb, Ati9IsAnsweredThroughTheComPort) {
  ASSERT_NE(Start(), nullptr);
  std::shared_ptr<sim::portdrv::ModemPort> com =
      sim::portdrv::ModemPort::Create(kernel->processor(), "COM3", "0000C0FFEE01");
  commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.port = OpenCommPort("COM3", 250);
  ASSERT_NE(commPortSession.port, nullptr);
  const std::string command = "ati9\r\n";
  WriteToComm(reinterpret_cast<const BYTE*>(command.data()), static_cast<LONG>(command.size()));
  std::string answer;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (answer.find("OK") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, 1000);
    if (count > 0) answer.append(reinterpret_cast<char*>(ModemReplyBuffer), count);
  }
  EXPECT_NE(answer.find("USB high power, bus-powered function"), std::string::npos) << answer;
  CloseCommPort();
  CloseHandle(commPortSession.readEvent);
  CloseHandle(commPortSession.writeEvent);
  com.reset();
  EXPECT_EQ(pnp::StopDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
}

// The kernel takes the device away first: the driver's transfers end with "no device" while it
// still runs, then the bus reports the departure and the Plug and Play manager removes it.
TEST_F(DriverOverLibusb, TransfersEndingAsGoneBeforeTheRemovalLeaveNothingBehind) {
  ASSERT_NE(Start(), nullptr);
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (StatusPackets() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  testbed.Remove(device);
  std::this_thread::sleep_for(50ms);
  std::uint64_t after = StatusPackets();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(StatusPackets(), after);
  kernel->processor().Call([&] { controller->Unplug(port); });
  EXPECT_EQ(pnp::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  tests::usbfs::RunUnderUsbfsPreload(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
