// The simulated host controller under the USB stack: descriptors and configuration complete
// inside the call, isochronous transfers at the end of their frames (each frame run, even when
// the processor comes late), bulk transfers when the device answers, and abort, cancel and a
// vanished device end pending transfers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/usb/host_controller.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/verifier.h"
#include "sim/usbdevice/modem.h"
#include "sim/world/world.h"
#include "tests/support/virtual_time.h"

namespace {

namespace clock = platform::clock;
using sim::usbdevice::UsbModem;

constexpr ULONG kTag = 0x74736554;  // "Test"

// A modem whose endpoints do something: status packets carry the frame number, bulk IN answers
// once an indication is queued, bulk OUT records commands.
class BusyModem : public UsbModem {
 public:
  USBD_STATUS IsoIn(UCHAR, ULONG frame, std::span<BYTE> data, ULONG& length) override {
    length = static_cast<ULONG>(data.size() < 4 ? data.size() : 4);
    std::memcpy(data.data(), &frame, length);
    return USBD_STATUS_SUCCESS;
  }
  std::optional<ULONG> BulkIn(UCHAR, std::span<BYTE> data) override {
    if (indications.empty()) return std::nullopt;
    data[0] = indications.front();
    indications.pop_front();
    return 1;
  }
  bool BulkOut(UCHAR, std::span<const BYTE> data) override {
    commands.emplace_back(data.begin(), data.end());
    return true;
  }
  std::deque<BYTE> indications;
  std::vector<std::vector<BYTE>> commands;
};

struct Submitted {
  URB* urb = nullptr;
  BYTE* buffer = nullptr;
  NTSTATUS status = STATUS_PENDING;
  std::int64_t completedMs = -1;
  PIRP irp = nullptr;
};

NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* submitted = static_cast<Submitted*>(context);
  submitted->status = irp->IoStatus.Status;
  submitted->completedMs = clock::Current().Now().count() / 1000000;
  IoFreeIrp(irp);
  submitted->irp = nullptr;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class HostControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::vxd::ResetSystem();
    world.emplace();
    modem = std::make_shared<BusyModem>();
    pdo = world->Plug(modem);
    world->Call([&] { Configure(); });
  }
  void TearDown() override {
    world->Call([&] {
      for (auto& submitted : all) {
        ExFreePool(submitted->urb);
        ExFreePool(submitted->buffer);
      }
      ExFreePool(config);
    });
    world->Unplug(pdo);
    world.reset();
    EXPECT_TRUE(recorder.Violations().empty());
    EXPECT_EQ(platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding()),
              "pool: no block outstanding\n");
  }

  // Sends a URB to the device's physical device object; the answer of the call.
  NTSTATUS Send(Submitted& submitted) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    submitted.irp = irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = submitted.urb;
    IoSetCompletionRoutine(irp, Done, &submitted, TRUE, TRUE, TRUE);
    return IofCallDriver(pdo, irp);
  }

  Submitted& Make(ULONG urbSize, ULONG bufferSize) {
    auto submitted = std::make_unique<Submitted>();
    submitted->urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, urbSize, kTag));
    std::memset(submitted->urb, 0, urbSize);
    submitted->buffer = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPool, bufferSize, kTag));
    std::memset(submitted->buffer, 0, bufferSize);
    all.push_back(std::move(submitted));
    return *all.back();
  }

  void Configure() {
    std::vector<BYTE>& bytes = modem->descriptors().configurations[1];
    config = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(
        ExAllocatePoolWithTag(NonPagedPool, bytes.size(), kTag));
    std::memcpy(config, bytes.data(), bytes.size());
    USHORT size = 0;
    URB* urb = USBD_CreateConfigurationRequest(config, &size);
    Submitted select;
    select.urb = urb;
    ASSERT_EQ(Send(select), STATUS_SUCCESS);  // inside the call
    ASSERT_EQ(select.status, STATUS_SUCCESS);
    for (ULONG i = 0; i < 5; ++i) pipes.push_back(urb->UrbSelectConfiguration.Interface.Pipes[i]);
    ExFreePool(urb);
  }

  Submitted& Iso(int pipe, ULONG packets, ULONG startFrame, bool asap) {
    Submitted& s = Make(GET_ISO_URB_SIZE(packets), packets * 8);
    _URB_ISOCH_TRANSFER& iso = s.urb->UrbIsochronousTransfer;
    iso.Hdr.Length = GET_ISO_URB_SIZE(packets);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipes[pipe].PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | (asap ? USBD_START_ISO_TRANSFER_ASAP : 0);
    iso.TransferBuffer = platform::vxd::ToFlat(s.buffer);
    iso.TransferBufferLength = packets * 8;
    iso.StartFrame = startFrame;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * 8;
    return s;
  }

  Submitted& Bulk(int pipe, ULONG length) {
    Submitted& s = Make(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), length);
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = s.urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(bulk);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = pipes[pipe].PipeHandle;
    bulk.TransferBuffer = platform::vxd::ToFlat(s.buffer);
    bulk.TransferBufferLength = length;
    return s;
  }

  ULONG Frame() { return world->bus().CurrentFrame(); }

  platform::wdm::verifier::Recorder recorder;
  std::optional<testing_support::VirtualTime> time{std::in_place};
  std::optional<sim::world::World> world;
  std::shared_ptr<BusyModem> modem;
  PDEVICE_OBJECT pdo = nullptr;
  USB_CONFIGURATION_DESCRIPTOR* config = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;
  std::vector<std::unique_ptr<Submitted>> all;
};

TEST_F(HostControllerTest, SelectionHandsOutPipesOfTheConfiguration) {
  EXPECT_EQ(modem->configuration(), 2);
  EXPECT_EQ(pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(pipes[0].MaximumPacketSize, 8);
  EXPECT_EQ(pipes[4].EndpointAddress, 0x04);
  EXPECT_EQ(pipes[4].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipes[4].MaximumPacketSize, 32);
}

TEST_F(HostControllerTest, IsochronousTransfersCompleteAtTheEndOfTheirLastFrame) {
  clock::SleepFor(clock::Milliseconds(5));
  world->Call([&] {
    ULONG now = Frame();
    EXPECT_EQ(now, 5u);
    Submitted& first = Iso(0, 1, now + 2, false);
    Submitted& second = Iso(0, 3, 0, true);  // right after the first
    EXPECT_EQ(Send(first), STATUS_PENDING);
    EXPECT_EQ(Send(second), STATUS_PENDING);
  });
  clock::SleepFor(clock::Milliseconds(20));
  Submitted& first = *all[0];
  Submitted& second = *all[1];
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.completedMs, 8);  // frame 7 ends at 8 ms
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(second.urb->UrbIsochronousTransfer.StartFrame, 8u);
  EXPECT_EQ(second.completedMs, 11);
  EXPECT_EQ(second.urb->UrbIsochronousTransfer.IsoPacket[2].Length, 4u);
  ULONG frame = 0;
  std::memcpy(&frame, second.buffer + 16, 4);
  EXPECT_EQ(frame, 10u);
}

TEST_F(HostControllerTest, AFrameAlreadyPastIsRefused) {
  clock::SleepFor(clock::Milliseconds(10));
  world->Call([&] {
    Submitted& late = Iso(0, 1, Frame() - 1, false);
    EXPECT_EQ(Send(late), STATUS_PENDING);  // the stack pends, then completes at once
    EXPECT_EQ(late.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(late.urb->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
  });
}

// On the real clock the processor is an ordinary thread that a busy host holds at times: a
// transfer whose start frame passed while it was held between reading the frame and submitting
// runs as soon as it can, and is counted, instead of being refused with its bytes.
class HostControllerOnTheRealClock : public HostControllerTest {
 protected:
  HostControllerOnTheRealClock() { time.reset(); }
};

TEST_F(HostControllerOnTheRealClock, ATransferWhoseStartFramePassedRunsAsSoonAsItCan) {
  ULONG frame = 0;
  world->Call([&] {
    frame = Frame();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // held after reading the frame
    Submitted& late = Iso(0, 2, frame + 1, false);
    EXPECT_EQ(Send(late), STATUS_PENDING);
  });
  NTSTATUS status = STATUS_PENDING;
  for (int i = 0; i < 200 && status == STATUS_PENDING; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    world->Call([&] { status = all[0]->status; });
  }
  world->Call([&] {
    const _URB_ISOCH_TRANSFER& iso = all[0]->urb->UrbIsochronousTransfer;
    EXPECT_EQ(all[0]->status, STATUS_SUCCESS);
    EXPECT_GE(iso.StartFrame, frame + 3);
    EXPECT_EQ(iso.ErrorCount, 0u);
    EXPECT_EQ(world->bus().LateStarts(), 1u);
  });
}

// On the real clock the processor can come to a frame's end late, after later frames have
// passed too; the controller's schedule runs every frame all the same, as hardware does, so no
// packet is lost to the host's lateness (a lost data-out packet is lost data).
TEST_F(HostControllerTest, FramesThatEndWhileTheProcessorIsLateStillRunInOrder) {
  clock::SleepFor(clock::Milliseconds(5));
  world->Call([&] {
    Submitted& transfer = Iso(0, 3, Frame() + 1, false);  // frames 6, 7 and 8
    EXPECT_EQ(Send(transfer), STATUS_PENDING);
    clock::SleepFor(clock::Milliseconds(10));  // the processor is busy until 15 ms
  });
  clock::SleepFor(clock::Milliseconds(5));
  Submitted& transfer = *all[0];
  EXPECT_EQ(transfer.status, STATUS_SUCCESS);
  EXPECT_EQ(transfer.completedMs, 15);  // when the processor came back
  for (ULONG i = 0; i < 3; ++i) {
    EXPECT_EQ(transfer.urb->UrbIsochronousTransfer.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
    ULONG frame = 0;
    std::memcpy(&frame, transfer.buffer + 8 * i, 4);
    EXPECT_EQ(frame, 6 + i);
  }
}

TEST_F(HostControllerTest, InjectedPacketErrorsReachThePacketStatus) {
  world->Call([&] {
    world->bus().InjectPacketStatus(0x81, static_cast<USBD_STATUS>(0xC000000Eu), 1);
    Submitted& s = Iso(0, 2, 0, true);
    Send(s);
  });
  clock::SleepFor(clock::Milliseconds(5));
  _URB_ISOCH_TRANSFER& iso = all[0]->urb->UrbIsochronousTransfer;
  EXPECT_EQ(iso.IsoPacket[0].Status, static_cast<USBD_STATUS>(0xC000000Eu));
  EXPECT_EQ(iso.IsoPacket[1].Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(iso.ErrorCount, 1u);
  EXPECT_EQ(all[0]->status, STATUS_SUCCESS);
}

TEST_F(HostControllerTest, BulkTransfersCompleteWhenTheDeviceAnswers) {
  world->Call([&] {
    Send(Bulk(3, 32));  // indication read: nothing queued yet
    Submitted& command = Bulk(4, 32);
    command.buffer[0] = 0x55;
    Send(command);
  });
  clock::SleepFor(clock::Milliseconds(30));
  EXPECT_EQ(all[0]->status, STATUS_PENDING);
  EXPECT_EQ(all[1]->status, STATUS_SUCCESS);
  EXPECT_EQ(all[1]->completedMs, 1);
  ASSERT_EQ(modem->commands.size(), 1u);
  EXPECT_EQ(modem->commands[0][0], 0x55);
  world->Call([&] { modem->indications.push_back(0xA7); });
  clock::SleepFor(clock::Milliseconds(2));
  EXPECT_EQ(all[0]->status, STATUS_SUCCESS);
  EXPECT_EQ(all[0]->completedMs, 31);
  EXPECT_EQ(all[0]->buffer[0], 0xA7);
  EXPECT_EQ(all[0]->urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
}

TEST_F(HostControllerTest, AbortCancelAndAVanishedDeviceEndPendingTransfers) {
  world->Call([&] {
    Send(Bulk(3, 32));
    Send(Bulk(3, 32));
    Submitted& abort = Make(sizeof(_URB_PIPE_REQUEST), 1);
    abort.urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    abort.urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.urb->UrbPipeRequest.PipeHandle = pipes[3].PipeHandle;
    EXPECT_EQ(Send(abort), STATUS_SUCCESS);
    EXPECT_EQ(all[0]->status, STATUS_CANCELLED);
    EXPECT_EQ(all[1]->status, STATUS_CANCELLED);
    EXPECT_EQ(all[0]->urb->UrbHeader.Status, USBD_STATUS_CANCELED);

    Submitted& cancelled = Bulk(3, 32);
    Send(cancelled);
    EXPECT_TRUE(IoCancelIrp(cancelled.irp));
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);

    Submitted& orphan = Bulk(3, 32);
    Send(orphan);
    world->Detach(pdo);
    EXPECT_EQ(orphan.status, STATUS_DEVICE_NOT_CONNECTED);
    Submitted& after = Bulk(4, 32);
    Send(after);
    EXPECT_EQ(after.status, STATUS_DEVICE_NOT_CONNECTED);
  });
}

TEST_F(HostControllerTest, StalePipeHandlesAndBadBuffersAreRefused) {
  world->Call([&] {
    Submitted& bad = Bulk(3, 32);
    bad.urb->UrbBulkOrInterruptTransfer.PipeHandle = 0x12345678;
    Send(bad);
    EXPECT_EQ(bad.status, STATUS_INVALID_PARAMETER);
    Submitted& overrun = Bulk(3, 32);
    overrun.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 33;  // past the buffer
    Send(overrun);
    EXPECT_EQ(overrun.urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  });
}

}  // namespace
