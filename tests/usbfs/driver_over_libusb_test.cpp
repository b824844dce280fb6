// mdmcore on the libusb host controller, over the emulated usbfs, on the real clock: the driver
// starts the modem (descriptors, strings, configuration, its streams running frame by frame),
// stops and removes it with nothing left in the pool, and survives the device leaving the bus
// while its transfers are in flight.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/usbfs/driver_fixture.h"

namespace {

namespace pnp = platform::wdm::pnp;
using tests::usbfs::DriverOverLibusb;
using namespace std::chrono_literals;

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
  // one its predecessor's completion ran in. How many packets a stretch of time holds is the
  // machine's business (a busy host holds the driver's thread); that the stream keeps going is
  // the driver's.
  auto await = [&](std::uint64_t count) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (StatusPackets() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return StatusPackets() >= count;
  };
  ASSERT_TRUE(await(1)) << "the status stream never started";
  EXPECT_TRUE(await(StatusPackets() + 50)) << "the status stream stopped";
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
  ASSERT_NO_FATAL_FAILURE(OpenCom());
  Write("ati9\r\n");
  std::string answer = ReadUntil("OK");
  EXPECT_NE(answer.find("USB high power, bus-powered function"), std::string::npos) << answer;
  CloseCom();
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
