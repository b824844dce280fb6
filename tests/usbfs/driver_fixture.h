// mdmcore loaded over the libusb host controller against the emulated usbfs, with one simulated
// modem on the bus, on the real clock; COM3 through the serial-port driver once the modem has
// started. Tear-down unloads the driver and expects nothing left in the pool and no verifier
// report.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "driver/core/devext.h"
#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/processor.h"
#include "platform/wdm/verifier.h"
#include "sim/portdrv/modem_port.h"
#include "sim/usbdevice/modem.h"
#include "tests/usbfs/usbfs_testbed.h"
#include "tools/mdmd/usb_kernel.h"
#include "updater/serial/serial.h"

namespace tests::usbfs {

class DriverOverLibusb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    modem = std::make_shared<sim::usbdevice::UsbModem>(
        sim::usbdevice::ModemIdentity{u"0000C0FFEE01", u"Modem"});
    device = testbed.Add(modem, sim::usbdevice::ModemDescriptors({u"0000C0FFEE01", u"Modem"}));
    std::string error;
    usb = mdmd::UsbKernel::Load(error);
    ASSERT_NE(usb, nullptr) << error;
    kernel = &usb->kernel();
    controller = &usb->controller();
    driver = usb->driver();
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(usb->context(), &list), 1);
    port = controller->Attach(list[0]);
    libusb_free_device_list(list, 1);
    ASSERT_NE(port, 0u);
    pdo = controller->Pdo(port);
  }
  void TearDown() override {
    if (commPortSession.port != nullptr) CloseCom();
    // A test that ended early leaves the modem started: it is stopped and removed, so that the
    // pool report speaks of the driver and not of the early end.
    if (pdo != nullptr && pdo->AttachedDevice != nullptr) {
      platform::wdm::pnp::StopDevice(pdo);
      platform::wdm::pnp::RemoveDevice(pdo);
    }
    if (port != 0) controller->Forget(port);
    usb.reset();
    namespace pool = platform::wdm::pool;
    EXPECT_EQ(pool::FormatReport(pool::Outstanding()), "pool: no block outstanding\n");
    std::string all;
    for (const std::string& violation : recorder.Violations()) all += violation + "\n";
    EXPECT_TRUE(all.empty()) << "driver verifier:\n" << all;
  }

  DEVICE_EXTENSION* Start() {
    EXPECT_EQ(platform::wdm::pnp::AddDevice(driver, pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    EXPECT_NE(fdo, nullptr);
    if (fdo == nullptr) return nullptr;
    EXPECT_EQ(platform::wdm::pnp::StartDevice(pdo), STATUS_SUCCESS);
    return Extension(fdo);
  }
  std::uint64_t StatusPackets() {
    return testbed.WithDevices([&] { return modem->statusPackets(); });
  }
  // Reads the modem context on the processor, where the driver changes it.
  template <typename Fn>
  auto OnProcessor(Fn&& fn) {
    decltype(fn()) result{};
    kernel->processor().Call([&] { result = fn(); });
    return result;
  }

  // Opens COM3 on the started modem, as the updater does (DTR on, RTS handshake).
  void OpenCom() {
    com = sim::portdrv::ModemPort::Create(kernel->processor(), "COM3", "0000C0FFEE01");
    commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    commPortSession.port = OpenCommPort("COM3", 250);
    ASSERT_NE(commPortSession.port, nullptr);
  }
  void CloseCom() {
    CloseCommPort();
    CloseHandle(commPortSession.readEvent);
    CloseHandle(commPortSession.writeEvent);
    com.reset();
  }
  // Reads from the port until `until` has come or `limit` has passed; what came.
  static std::string ReadUntil(const std::string& until,
                               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (answer.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, 1000);
      if (count > 0) answer.append(reinterpret_cast<char*>(ModemReplyBuffer), count);
    }
    return answer;
  }
  static void Write(const std::string& text) {
    WriteToComm(reinterpret_cast<const BYTE*>(text.data()), static_cast<LONG>(text.size()));
  }
  // Waits (bounded) until `done` holds.
  template <typename Fn>
  static bool Eventually(Fn&& done, std::chrono::milliseconds limit = std::chrono::seconds(2)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  }

  platform::TemporaryRoot root{"mdm-usbfs-"};
  platform::wdm::verifier::Recorder recorder;
  UsbfsTestbed testbed;
  std::shared_ptr<sim::usbdevice::UsbModem> modem;
  int device = 0;
  platform::clock::ThreadScope main{"test"};
  std::unique_ptr<mdmd::UsbKernel> usb;
  platform::wdm::KernelThread* kernel = nullptr;  // usb's parts
  platform::usb::LibusbHostController* controller = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  ULONG port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::portdrv::ModemPort> com;
};

}  // namespace tests::usbfs
