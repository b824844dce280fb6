// The libusb host controller over the emulated usbfs, with the simulated modem on the bus:
// control transfers inside the call, configuration claiming the interface, bulk and isochronous
// transfers completing on the processor one at a time with their packets placed in the
// submitter's buffer, start frames honoured, and abort and cancel taking transfers back.
#include <gtest/gtest.h>
#include <libusb.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/usb/libusb/libusb_host_controller.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/kernel_thread.h"
#include "platform/wdm/processor.h"
#include "sim/usbdevice/modem.h"
#include "tests/usbfs/usbfs_testbed.h"

namespace {

namespace clock = platform::clock;
using platform::usb::IsoPacket;
using platform::usb::LibusbHostController;
using platform::usb::Transfer;
using sim::usbdevice::UsbModem;
using tests::usbfs::UsbfsTestbed;
using namespace std::chrono_literals;

// What a transfer's completion saw: how often it ran, on which thread, at which level and frame.
struct Seen {
  std::atomic<int> completions{0};
  bool onProcessor = false;
  KIRQL irql = PASSIVE_LEVEL;
  ULONG frame = 0;
  USBD_STATUS status = USBD_STATUS_PENDING;
  LibusbHostController* controller = nullptr;
  platform::wdm::Processor* processor = nullptr;
};

void Record(Transfer& transfer) {
  auto* seen = static_cast<Seen*>(transfer.context);
  seen->onProcessor = seen->processor->OnProcessor();
  seen->irql = KeGetCurrentIrql();
  seen->frame = seen->controller->CurrentFrame();
  seen->status = transfer.status;
  ++seen->completions;
}

class LibusbHostControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::vxd::ResetSystem();
    modem = std::make_shared<UsbModem>();
    device = testbed.Add(modem, sim::usbdevice::ModemDescriptors({}));
    ASSERT_EQ(libusb_init(&context), 0);
    kernel.emplace();
    Call([&] { controller.emplace(kernel->processor(), context); });
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context, &list), 1);
    port = controller->Attach(list[0]);
    libusb_free_device_list(list, 1);
    ASSERT_NE(port, 0u);
  }
  void TearDown() override {
    if (port != 0) controller->Forget(port);
    Call([&] { controller.reset(); });
    kernel.reset();
    libusb_exit(context);
  }

  void Call(const std::function<void()>& fn) { kernel->processor().Call(fn); }
  USBD_STATUS Control(USB_DEFAULT_PIPE_SETUP_PACKET setup, BYTE* data, ULONG& transferred) {
    USBD_STATUS status = USBD_STATUS_PENDING;
    Call([&] { status = controller->Control(port, setup, data, transferred); });
    return status;
  }
  void Configure() {
    ULONG transferred = 0;
    ASSERT_EQ(Control({0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0}, nullptr, transferred),
              USBD_STATUS_SUCCESS);
  }
  Transfer Make(UCHAR endpoint, USBD_PIPE_TYPE type, BYTE* buffer, ULONG length, Seen& seen) {
    Transfer transfer;
    transfer.endpoint = endpoint;
    transfer.type = type;
    transfer.buffer = buffer;
    transfer.length = length;
    transfer.done = &Record;
    transfer.context = &seen;
    seen.controller = &*controller;
    seen.processor = &kernel->processor();
    return transfer;
  }
  USBD_STATUS Submit(Transfer& transfer) {
    USBD_STATUS status = USBD_STATUS_PENDING;
    Call([&] { status = controller->Submit(port, transfer); });
    return status;
  }
  // Waits (in real time, bounded) until the transfer has completed.
  static bool Await(const Seen& seen, std::chrono::milliseconds limit = 2s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (seen.completions == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return seen.completions != 0;
  }
  ULONG Frame() {
    ULONG frame = 0;
    Call([&] { frame = controller->CurrentFrame(); });
    return frame;
  }

  UsbfsTestbed testbed;
  std::shared_ptr<UsbModem> modem;
  int device = 0;
  libusb_context* context = nullptr;
  clock::ThreadScope main{"test"};
  std::optional<platform::wdm::KernelThread> kernel;
  std::optional<LibusbHostController> controller;
  ULONG port = 0;
};

TEST_F(LibusbHostControllerTest, ControlTransfersCompleteInsideTheCall) {
  BYTE device[64] = {};
  ULONG transferred = 0;
  ASSERT_EQ(Control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 64},
                    device, transferred),
            USBD_STATUS_SUCCESS);
  std::vector<BYTE> expected = sim::usbdevice::ModemDescriptors({}).device;
  ASSERT_EQ(transferred, expected.size());
  EXPECT_EQ(std::memcmp(device, expected.data(), expected.size()), 0);
  // A descriptor the modem does not have stalls the pipe; the call still returns.
  EXPECT_EQ(
      Control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_STRING_DESCRIPTOR_TYPE << 8 | 9, 0x0409, 64},
              device, transferred),
      USBD_STATUS_STALL_PID);
  EXPECT_EQ(transferred, 0u);
}

TEST_F(LibusbHostControllerTest, ConfiguringClaimsTheInterfaceAndUnconfiguringReleasesIt) {
  Configure();
  EXPECT_EQ(testbed.WithDevices([&] { return modem->configuration(); }), 2);
  EXPECT_EQ(testbed.Requests()[USBDEVFS_CLAIMINTERFACE], 1);
  ULONG transferred = 0;
  ASSERT_EQ(Control({0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}, nullptr, transferred),
            USBD_STATUS_SUCCESS);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->configuration(); }), 0);
  EXPECT_EQ(testbed.Requests()[USBDEVFS_RELEASEINTERFACE], 1);
}

TEST_F(LibusbHostControllerTest, BulkTransfersCompleteOnTheProcessorWhenTheDeviceAnswers) {
  Configure();
  BYTE command[32] = {0x05, 0x01};
  Seen sent;
  Transfer out = Make(0x04, UsbdPipeTypeBulk, command, sizeof(command), sent);
  ASSERT_EQ(Submit(out), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(sent));
  EXPECT_EQ(sent.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(out.actual, 32u);
  EXPECT_TRUE(sent.onProcessor);
  EXPECT_EQ(sent.irql, DISPATCH_LEVEL);
  ASSERT_EQ(testbed.WithDevices([&] { return modem->commands().size(); }), 1u);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->commands()[0][0]; }), 0x05);

  BYTE indication[32] = {};
  Seen heard;
  Transfer in = Make(0x83, UsbdPipeTypeBulk, indication, sizeof(indication), heard);
  ASSERT_EQ(Submit(in), USBD_STATUS_PENDING);
  EXPECT_FALSE(Await(heard, 30ms));  // nothing queued: the modem does not answer
  std::vector<BYTE> message(32, 0);
  message[0] = 0x7E;
  testbed.WithDevices([&] { modem->QueueIndication(message); });
  ASSERT_TRUE(Await(heard));
  EXPECT_EQ(heard.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(in.actual, 32u);
  EXPECT_EQ(indication[0], 0x7E);
  EXPECT_EQ(heard.completions, 1);
}

// The stack gives isochronous IN packets room for one packet each, spaced as the URB's offsets
// say: each packet lands at its own offset, with its own length and status.
TEST_F(LibusbHostControllerTest, IsochronousPacketsLandAtTheirOffsets) {
  Configure();
  constexpr ULONG kPackets = 6;
  std::vector<BYTE> buffer(16 * kPackets, 0xEE);
  Seen seen;
  Transfer status = Make(0x81, UsbdPipeTypeIsochronous, buffer.data(), ULONG(buffer.size()), seen);
  status.asap = true;
  for (ULONG i = 0; i < kPackets; ++i) status.packets.push_back(IsoPacket{16 * i, 8, 0});
  ASSERT_EQ(Submit(status), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(seen));
  EXPECT_TRUE(seen.onProcessor);
  EXPECT_EQ(seen.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(status.errorCount, 0u);
  EXPECT_EQ(status.actual, 8 * kPackets);
  for (ULONG i = 0; i < kPackets; ++i) {
    EXPECT_EQ(status.packets[i].status, USBD_STATUS_SUCCESS) << i;
    EXPECT_EQ(status.packets[i].length, 8u) << i;
    EXPECT_EQ(buffer[16 * i + 8], 0xEE) << "packet " << i << " spilled past its room";
  }
  EXPECT_EQ(testbed.WithDevices([&] { return modem->statusPackets(); }), kPackets);
}

// As soon as possible is the next frame (libusb cannot run a transfer in the frame it is given
// in), or the frame after the endpoint's queued transfers.
TEST_F(LibusbHostControllerTest, TransfersAsSoonAsPossibleFollowEachOther) {
  Configure();
  BYTE buffer[2][8 * 3] = {};
  Seen seen[2];
  std::vector<Transfer> transfers;
  for (int i = 0; i < 2; ++i) {
    transfers.push_back(Make(0x85, UsbdPipeTypeIsochronous, buffer[i], sizeof(buffer[i]), seen[i]));
    transfers.back().asap = true;
    for (ULONG p = 0; p < 3; ++p) transfers.back().packets.push_back(IsoPacket{8 * p, 8, 0});
  }
  ULONG before = Frame();
  ASSERT_EQ(Submit(transfers[0]), USBD_STATUS_PENDING);
  ASSERT_EQ(Submit(transfers[1]), USBD_STATUS_PENDING);
  ULONG after = Frame();
  EXPECT_GT(transfers[0].startFrame, before);
  // Right behind the first; later only when a busy host held the test past the first's frames.
  EXPECT_GE(transfers[1].startFrame, transfers[0].startFrame + 3);
  EXPECT_LE(transfers[1].startFrame, std::max(transfers[0].startFrame + 3, after + 1));
  ASSERT_TRUE(Await(seen[1]));
  ASSERT_TRUE(Await(seen[0]));
  EXPECT_EQ(seen[0].status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(seen[1].status, USBD_STATUS_SUCCESS);
}

TEST_F(LibusbHostControllerTest, AStartFrameIsHonouredAndAPastOneRunsAsSoonAsItCan) {
  Configure();
  BYTE buffer[8 * 4] = {};
  Seen seen;
  Transfer later = Make(0x81, UsbdPipeTypeIsochronous, buffer, sizeof(buffer), seen);
  for (ULONG i = 0; i < 4; ++i) later.packets.push_back(IsoPacket{8 * i, 8, 0});
  ULONG start = Frame() + 40;
  later.startFrame = start;
  ASSERT_EQ(Submit(later), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(seen));
  EXPECT_EQ(seen.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(later.startFrame, start);
  EXPECT_GE(seen.frame, start + 3) << "the transfer ran before its start frame";

  // A start frame that passed while the processor was held: run as soon as possible, counted.
  Seen late;
  Transfer past = Make(0x81, UsbdPipeTypeIsochronous, buffer, sizeof(buffer), late);
  past.packets.push_back(IsoPacket{0, 8, 0});
  ULONG now = Frame();
  past.startFrame = now - 5;
  ASSERT_EQ(Submit(past), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(late));
  EXPECT_EQ(late.status, USBD_STATUS_SUCCESS);
  EXPECT_GT(past.startFrame, now);
  std::uint64_t lateStarts = 0;
  Call([&] { lateStarts = controller->LateStarts(); });
  EXPECT_EQ(lateStarts, 1u);
}

TEST_F(LibusbHostControllerTest, AbortCompletesTheEndpointsTransfersInsideTheCall) {
  Configure();
  BYTE first[32];
  BYTE second[32];
  Seen one;
  Seen two;
  Transfer a = Make(0x83, UsbdPipeTypeBulk, first, sizeof(first), one);
  Transfer b = Make(0x83, UsbdPipeTypeBulk, second, sizeof(second), two);
  ASSERT_EQ(Submit(a), USBD_STATUS_PENDING);
  ASSERT_EQ(Submit(b), USBD_STATUS_PENDING);
  int completedInside = -1;
  Call([&] {
    controller->Abort(port, 0x83);
    completedInside = one.completions + two.completions;
  });
  EXPECT_EQ(completedInside, 2);
  EXPECT_EQ(one.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(two.status, USBD_STATUS_CANCELED);
  // libusb's own copies wind down later; the submitter hears nothing more.
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(one.completions, 1);
  EXPECT_EQ(two.completions, 1);
}

TEST_F(LibusbHostControllerTest, ACancelledTransferNeverCompletesAndTakesNothingFromTheDevice) {
  Configure();
  BYTE buffer[32] = {};
  Seen cancelled;
  Transfer waiting = Make(0x83, UsbdPipeTypeBulk, buffer, sizeof(buffer), cancelled);
  ASSERT_EQ(Submit(waiting), USBD_STATUS_PENDING);
  bool taken = false;
  Call([&] { taken = controller->Cancel(port, &waiting); });
  EXPECT_TRUE(taken);
  bool again = true;
  Call([&] { again = controller->Cancel(port, &waiting); });
  EXPECT_FALSE(again);

  std::vector<BYTE> message(32, 0);
  message[0] = 0x42;
  testbed.WithDevices([&] { modem->QueueIndication(message); });
  Seen next;
  Transfer read = Make(0x83, UsbdPipeTypeBulk, buffer, sizeof(buffer), next);
  ASSERT_EQ(Submit(read), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(next));
  EXPECT_EQ(buffer[0], 0x42);
  EXPECT_EQ(cancelled.completions, 0);
}

// The modem is pulled out while a bulk read waits and a long isochronous read runs: both end as
// "device gone", the packets that never ran as not accessed, the ones that ran keep their bytes.
TEST_F(LibusbHostControllerTest, UnpluggingEndsTransfersInFlightAsGone) {
  Configure();
  BYTE indication[32] = {};
  Seen bulk;
  Transfer waiting = Make(0x83, UsbdPipeTypeBulk, indication, sizeof(indication), bulk);
  ASSERT_EQ(Submit(waiting), USBD_STATUS_PENDING);
  constexpr ULONG kPackets = 200;
  std::vector<BYTE> buffer(8 * kPackets);
  Seen iso;
  Transfer status = Make(0x81, UsbdPipeTypeIsochronous, buffer.data(), ULONG(buffer.size()), iso);
  status.asap = true;
  for (ULONG i = 0; i < kPackets; ++i) status.packets.push_back(IsoPacket{8 * i, 8, 0});
  ASSERT_EQ(Submit(status), USBD_STATUS_PENDING);
  std::this_thread::sleep_for(20ms);
  testbed.Remove(device);
  ASSERT_TRUE(Await(bulk));
  ASSERT_TRUE(Await(iso));
  EXPECT_EQ(bulk.status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(iso.status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(status.packets.front().status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(status.packets.front().length, 8u);
  EXPECT_EQ(status.packets.back().status, USBD_STATUS_NOT_ACCESSED);
  EXPECT_EQ(status.packets.back().length, 0u);
  EXPECT_EQ(status.errorCount, kPackets - status.actual / 8);
  // Later requests find no device.
  BYTE bytes[18];
  ULONG transferred = 0;
  EXPECT_EQ(Control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18},
                    bytes, transferred),
            USBD_STATUS_DEVICE_GONE);
}

// Faults on the bus as usbfs reports them, and as the submitter hears of them: a missed or
// garbled packet fails alone; a transfer that fails with a data error as a whole has its packets
// missed (0xC000000E, what the stack reports for them, and the driver sends such a data-out
// transfer again); a stalled bulk pipe stays stalled. What failed on the bus never reached the
// modem.
TEST_F(LibusbHostControllerTest, BusFaultsEndTransfersAsTheStackReportsThem) {
  constexpr USBD_STATUS kPacketMissed = static_cast<USBD_STATUS>(0xC000000Eu);
  Configure();
  std::uint64_t statusBefore = testbed.WithDevices([&] { return modem->statusPackets(); });
  // libusb reports a missed packet (-EXDEV) and a garbled one alike, as an error on the wire.
  testbed.FailPackets(device, 0x81, -EXDEV, 1);
  BYTE status[8 * 3] = {};
  Seen read;
  Transfer in = Make(0x81, UsbdPipeTypeIsochronous, status, sizeof(status), read);
  in.asap = true;
  for (ULONG i = 0; i < 3; ++i) in.packets.push_back(IsoPacket{8 * i, 8, 0});
  ASSERT_EQ(Submit(in), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(read));
  EXPECT_EQ(read.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(in.errorCount, 1u);
  EXPECT_EQ(in.packets[0].status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(in.packets[0].length, 0u);
  EXPECT_EQ(in.packets[1].status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(in.packets[2].status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->statusPackets(); }) - statusBefore, 2u);

  testbed.FailTransfers(device, 0x06, -EPROTO, 1);
  BYTE data[64] = {1, 5, 'h', 'e', 'l', 'l', 'o'};
  Seen sent;
  Transfer out = Make(0x06, UsbdPipeTypeIsochronous, data, sizeof(data), sent);
  out.asap = true;
  out.packets.push_back(IsoPacket{0, 64, 0});
  ASSERT_EQ(Submit(out), USBD_STATUS_PENDING);
  ASSERT_TRUE(Await(sent));
  EXPECT_EQ(sent.status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(out.packets[0].status, kPacketMissed);
  EXPECT_EQ(out.packets[0].length, 0u);
  EXPECT_EQ(out.errorCount, 1u);
  EXPECT_EQ(testbed.WithDevices([&] { return modem->rejectedPackets(); }), 0);

  testbed.FailTransfers(device, 0x04, -EPROTO, 1);
  BYTE command[32] = {0x05, 0x01};
  for (USBD_STATUS expected : {USBD_STATUS_XACT_ERROR, USBD_STATUS_SUCCESS}) {
    Seen done;
    Transfer bulk = Make(0x04, UsbdPipeTypeBulk, command, sizeof(command), done);
    ASSERT_EQ(Submit(bulk), USBD_STATUS_PENDING);
    ASSERT_TRUE(Await(done));
    EXPECT_EQ(done.status, expected);
  }
  EXPECT_EQ(testbed.WithDevices([&] { return modem->commands().size(); }), 1u);

  testbed.FailTransfers(device, 0x04, -EPIPE, 1);
  for (int i = 0; i < 2; ++i) {
    Seen done;
    Transfer bulk = Make(0x04, UsbdPipeTypeBulk, command, sizeof(command), done);
    ASSERT_EQ(Submit(bulk), USBD_STATUS_PENDING);
    ASSERT_TRUE(Await(done));
    EXPECT_EQ(done.status, USBD_STATUS_STALL_PID) << "transfer " << i << " after the stall";
    EXPECT_EQ(bulk.actual, 0u);
  }
  EXPECT_EQ(testbed.WithDevices([&] { return modem->commands().size(); }), 1u);
}

TEST_F(LibusbHostControllerTest, AGoneDeviceRefusesEverything) {
  Configure();
  Call([&] { controller->Unplug(port); });
  BYTE buffer[32] = {};
  Seen seen;
  Transfer read = Make(0x83, UsbdPipeTypeBulk, buffer, sizeof(buffer), seen);
  EXPECT_EQ(Submit(read), USBD_STATUS_DEVICE_GONE);
  ULONG transferred = 0;
  EXPECT_EQ(Control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18},
                    buffer, transferred),
            USBD_STATUS_DEVICE_GONE);
  bool present = true;
  Call([&] { present = controller->Present(port); });
  EXPECT_FALSE(present);
}

}  // namespace
