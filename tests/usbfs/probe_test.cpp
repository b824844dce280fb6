// libusb against the emulated usbfs, without the USB stack: the simulated modem is found on the
// bus with its identity, its descriptors and strings, answers control requests, takes commands
// and gives indications on its bulk pipes, and sends status packets on its isochronous pipe.
#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "sim/usbdevice/modem.h"
#include "tests/usbfs/usbfs_testbed.h"

namespace {

using sim::usbdevice::UsbModem;
using tests::usbfs::UsbfsTestbed;

class UsbfsProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    modem = std::make_shared<UsbModem>();
    testbed.Add(modem, sim::usbdevice::ModemDescriptors({}));
    ASSERT_EQ(libusb_init(&context), 0);
  }
  void TearDown() override {
    if (handle != nullptr) libusb_close(handle);
    stopping = true;
    libusb_interrupt_event_handler(context);
    if (events.joinable()) events.join();
    libusb_exit(context);
  }

  // Opens the modem, then starts an event thread for the asynchronous transfers. The node polls
  // ready from the start, so the opening holds libusb's event lock: an event thread would
  // otherwise reap on the node before the handle is complete.
  void Open() {
    libusb_lock_events(context);
    handle = libusb_open_device_with_vid_pid(context, sim::usbdevice::kModemVendor,
                                             sim::usbdevice::kModemProduct);
    libusb_unlock_events(context);
    ASSERT_NE(handle, nullptr);
    events = std::thread([this] {
      while (!stopping) libusb_handle_events(context);
    });
  }

  UsbfsTestbed testbed;
  std::shared_ptr<UsbModem> modem;
  libusb_context* context = nullptr;
  libusb_device_handle* handle = nullptr;
  std::atomic<bool> stopping{false};
  std::thread events;
};

TEST_F(UsbfsProbe, FindsTheModemWithItsDescriptors) {
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  ASSERT_EQ(count, 1);
  libusb_device_descriptor device{};
  ASSERT_EQ(libusb_get_device_descriptor(list[0], &device), 0);
  EXPECT_EQ(device.idVendor, sim::usbdevice::kModemVendor);
  EXPECT_EQ(device.idProduct, sim::usbdevice::kModemProduct);
  EXPECT_EQ(device.bNumConfigurations, 2);
  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_config_descriptor(list[0], 1, &config), 0);
  ASSERT_EQ(config->bNumInterfaces, 1);
  const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
  ASSERT_EQ(interface.bNumEndpoints, 5);
  std::vector<sim::usbdevice::Endpoint> expected = sim::usbdevice::ModemEndpoints();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(interface.endpoint[i].bEndpointAddress, expected[i].address);
    EXPECT_EQ(interface.endpoint[i].wMaxPacketSize, expected[i].maxPacket);
  }
  libusb_free_config_descriptor(config);
  libusb_free_device_list(list, 1);
}

TEST_F(UsbfsProbe, ReadsStringsAndConfiguresTheModem) {
  Open();
  unsigned char text[64] = {};
  ASSERT_EQ(
      libusb_get_string_descriptor_ascii(handle, sim::usbdevice::kSerialIndex, text, sizeof(text)),
      12);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "0000A1B2C3D4");
  ASSERT_EQ(
      libusb_get_string_descriptor_ascii(handle, sim::usbdevice::kProductIndex, text, sizeof(text)),
      9);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "USB Modem");
  // A descriptor the modem does not have stalls the default pipe.
  unsigned char bytes[16];
  EXPECT_EQ(libusb_get_string_descriptor(handle, 9, 0x0409, bytes, sizeof(bytes)),
            LIBUSB_ERROR_PIPE);
  ASSERT_EQ(libusb_set_configuration(handle, 2), 0);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->configuration(); }), 2);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  EXPECT_EQ(libusb_release_interface(handle, 0), 0);
}

TEST_F(UsbfsProbe, BulkPipesCarryCommandsAndIndications) {
  Open();
  ASSERT_EQ(libusb_set_configuration(handle, 2), 0);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  unsigned char command[32] = {0x01, 0x02, 0x03};
  int transferred = 0;
  ASSERT_EQ(libusb_bulk_transfer(handle, 0x04, command, sizeof(command), &transferred, 1000), 0);
  EXPECT_EQ(transferred, 32);
  ASSERT_EQ(testbed.WithDevices([&] { return modem->commands().size(); }), 1u);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->commands()[0][0]; }), 0x01);

  // No indication queued: the read is not answered and times out.
  unsigned char indication[32] = {};
  EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, indication, sizeof(indication), &transferred, 20),
            LIBUSB_ERROR_TIMEOUT);
  std::vector<BYTE> message(32, 0);
  message[0] = 0x7E;
  testbed.WithDevices([&] { modem->QueueIndication(message); });
  ASSERT_EQ(libusb_bulk_transfer(handle, 0x83, indication, sizeof(indication), &transferred, 1000),
            0);
  ASSERT_EQ(transferred, 32);
  EXPECT_EQ(indication[0], 0x7E);
}

// libusb reaches the device through these requests only, control transfers included (as URBs);
// the reaps are paced by the frames, not spun.
TEST_F(UsbfsProbe, AsksOnlyWhatTheTestbedServes) {
  Open();
  ASSERT_EQ(libusb_set_configuration(handle, 2), 0);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  unsigned char text[64];
  ASSERT_GT(
      libusb_get_string_descriptor_ascii(handle, sim::usbdevice::kProductIndex, text, sizeof(text)),
      0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::map<unsigned long, int> requests = testbed.Requests();
  const std::set<unsigned long> served = {USBDEVFS_GET_CAPABILITIES, USBDEVFS_SETCONFIGURATION,
                                          USBDEVFS_CLAIMINTERFACE, USBDEVFS_SUBMITURB,
                                          USBDEVFS_REAPURBNDELAY};
  for (const auto& [request, count] : requests) {
    EXPECT_TRUE(served.contains(request)) << std::hex << request;
  }
  EXPECT_EQ(requests[USBDEVFS_SUBMITURB], 2);  // the language list, then the string
  // Four reaps a frame at most: each waits a quarter of a frame when nothing is done.
  EXPECT_LE(requests[USBDEVFS_REAPURBNDELAY], 5 * static_cast<int>(testbed.Frame() + 1));
}

struct Hotplug {
  std::atomic<int> arrived{0};
  std::atomic<int> left{0};
};

int CountHotplug(libusb_context*, libusb_device*, libusb_hotplug_event event, void* user) {
  auto* seen = static_cast<Hotplug*>(user);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) ++seen->arrived;
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) ++seen->left;
  return 0;
}

// libusb hears of devices that come and go through udev's monitor, which umockdev emulates.
TEST_F(UsbfsProbe, HotplugReportsArrivalAndDeparture) {
  Hotplug seen;
  libusb_hotplug_callback_handle callback;
  ASSERT_EQ(
      libusb_hotplug_register_callback(
          context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
          LIBUSB_HOTPLUG_ENUMERATE, sim::usbdevice::kModemVendor, sim::usbdevice::kModemProduct,
          LIBUSB_HOTPLUG_MATCH_ANY, &CountHotplug, &seen, &callback),
      0);
  EXPECT_EQ(seen.arrived, 1);  // the modem already there
  int second = testbed.Add(std::make_shared<UsbModem>(), sim::usbdevice::ModemDescriptors({}));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  timeval poll{0, 10000};
  while (seen.arrived < 2 && std::chrono::steady_clock::now() < deadline) {
    libusb_handle_events_timeout(context, &poll);
  }
  EXPECT_EQ(seen.arrived, 2);
  testbed.Remove(second);
  while (seen.left < 1 && std::chrono::steady_clock::now() < deadline) {
    libusb_handle_events_timeout(context, &poll);
  }
  EXPECT_EQ(seen.left, 1);
  libusb_hotplug_deregister_callback(context, callback);
}

struct IsoResult {
  std::atomic<bool> done{false};
  libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
};

TEST_F(UsbfsProbe, StatusPacketsComeOnePerFrame) {
  Open();
  ASSERT_EQ(libusb_set_configuration(handle, 2), 0);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  constexpr int kPackets = 8;
  std::vector<unsigned char> buffer(8 * kPackets);
  libusb_transfer* transfer = libusb_alloc_transfer(kPackets);
  IsoResult result;
  libusb_fill_iso_transfer(
      transfer, handle, 0x81, buffer.data(), static_cast<int>(buffer.size()), kPackets,
      [](libusb_transfer* done) {
        auto* result = static_cast<IsoResult*>(done->user_data);
        result->status = done->status;
        result->done = true;
      },
      &result, 1000);
  libusb_set_iso_packet_lengths(transfer, 8);
  std::uint32_t before = testbed.Frame();
  ASSERT_EQ(libusb_submit_transfer(transfer), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!result.done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(result.done);
  EXPECT_GE(testbed.Frame() - before, static_cast<std::uint32_t>(kPackets));
  EXPECT_EQ(result.status, LIBUSB_TRANSFER_COMPLETED);
  for (int i = 0; i < kPackets; ++i) {
    EXPECT_EQ(transfer->iso_packet_desc[i].status, LIBUSB_TRANSFER_COMPLETED) << i;
    EXPECT_EQ(transfer->iso_packet_desc[i].actual_length, 8u) << i;
  }
  EXPECT_EQ(testbed.WithDevices([&] { return modem->statusPackets(); }),
            static_cast<std::uint64_t>(kPackets));
  libusb_free_transfer(transfer);
}

}  // namespace
