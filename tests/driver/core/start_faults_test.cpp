// Start-device against failures: every allocation, malformed descriptors, a lower driver that
// fails the start, and removal while a transfer is outstanding. Each ends in the status its
// rule names, and the pool is empty once the device and the driver are gone.
#include <cstring>

#include "platform/usb/host_controller.h"
#include "platform/vxd/shell.h"

#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

using StartFaultTest = DriverTest;

// Plugs a modem (optionally changed by `edit`), adds and starts it, and returns the start's
// status; the device is removed and the driver unloaded afterwards by the caller.
template <class Edit>
NTSTATUS StartWith(DriverTest& test, Edit edit, PDEVICE_OBJECT* pdoOut) {
  auto modem = std::make_shared<sim::usbdevice::UsbModem>();
  edit(modem->descriptors());
  PDEVICE_OBJECT pdo = test.world().Plug(modem);
  EXPECT_EQ(pnp::AddDevice(test.driver_, pdo), STATUS_SUCCESS);
  *pdoOut = pdo;
  return pnp::StartDevice(pdo);
}

void Finish(DriverTest& test, PDEVICE_OBJECT pdo) {
  EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  test.world().Unplug(pdo);
}

void SetTotal(std::vector<BYTE>& config, USHORT total) {
  config[2] = static_cast<BYTE>(total & 0xFF);
  config[3] = static_cast<BYTE>(total >> 8);
}

TEST_F(StartFaultTest, EveryAllocationFailureOfStartFreesWhatItTook) {
  // Count the allocations of one good start.
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  Add(pdo);
  pool::ResetCount();
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  std::uint64_t allocations = pool::Count();
  ASSERT_GE(allocations, 10u);
  RemoveAndUnplug(pdo);
  Unload();

  for (std::uint64_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    pdo = PlugModem();
    PDEVICE_OBJECT fdo = Add(pdo);
    pool::FailNth(n);
    NTSTATUS status = pnp::StartDevice(pdo);
    pool::FailNth(0);
    // A failed string read leaves the start standing; any other failure is reported as the
    // allocation failure it was, and the device stays unstarted.
    if (status != STATUS_SUCCESS) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_FALSE(Ext(fdo)->started);
    } else {
      EXPECT_TRUE(Ext(fdo)->started);
      EXPECT_NE(Ext(fdo)->interfaceInfo, nullptr);
    }
    RemoveAndUnplug(pdo);
    Unload();
  }
}

TEST_F(StartFaultTest, AddDeviceWithoutMemoryCreatesNothing) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  pool::FailNth(1, pool::kDevice);
  EXPECT_EQ(pnp::AddDevice(driver_, pdo), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  // Without the capability request AddDevice goes on with the zeroed record.
  pool::FailNth(1, pool::kRequest);
  PDEVICE_OBJECT fdo = Add(pdo);
  EXPECT_EQ(Ext(fdo)->autoPowerDownState, PowerDeviceUnspecified);
  RemoveAndUnplug(pdo);
}

TEST_F(StartFaultTest, MalformedConfigurationsEndInTheirStatus) {
  struct Case {
    const char* name;
    void (*edit)(sim::usbdevice::Descriptors&);
    NTSTATUS expected;
    ULONG pipes;
  };
  const Case cases[] = {
      {"configuration read fails",
       [](sim::usbdevice::Descriptors& d) {
         d.stalled.insert({2, 1});
       },
       STATUS_UNSUCCESSFUL, 0},
      {"no configuration index 1",
       [](sim::usbdevice::Descriptors& d) { d.configurations.resize(1); }, STATUS_UNSUCCESSFUL, 0},
      {"configuration of 4 bytes",
       [](sim::usbdevice::Descriptors& d) { d.configurations[1].resize(4); },
       STATUS_DEVICE_DATA_ERROR, 0},
      {"total length 0", [](sim::usbdevice::Descriptors& d) { SetTotal(d.configurations[1], 0); },
       STATUS_INSUFFICIENT_RESOURCES, 0},
      {"total length 65535, 53 bytes sent",
       [](sim::usbdevice::Descriptors& d) { SetTotal(d.configurations[1], 65535); }, STATUS_SUCCESS,
       5},
      {"no interface",
       [](sim::usbdevice::Descriptors& d) {
         d.configurations[1].resize(9);
         SetTotal(d.configurations[1], 9);
       },
       STATUS_INSUFFICIENT_RESOURCES, 0},
      {"interface without endpoints",
       [](sim::usbdevice::Descriptors& d) {
         d.configurations[1] = sim::usbdevice::ConfigurationDescriptor(2, {});
       },
       STATUS_SUCCESS, 0},
      {"two endpoints missing",
       [](sim::usbdevice::Descriptors& d) {
         auto endpoints = sim::usbdevice::ModemEndpoints();
         endpoints.resize(3);
         d.configurations[1] = sim::usbdevice::ConfigurationDescriptor(2, endpoints);
       },
       STATUS_SUCCESS, 3},
      {"interface claims five endpoints, holds two",
       [](sim::usbdevice::Descriptors& d) {
         d.configurations[1].resize(9 + 9 + 14);
         SetTotal(d.configurations[1], 9 + 9 + 14);
       },
       STATUS_SUCCESS, 2},
      {"descriptor length 0 inside",
       [](sim::usbdevice::Descriptors& d) { d.configurations[1][18] = 0; }, STATUS_SUCCESS, 0},
  };
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = StartWith(*this, c.edit, &pdo);
    EXPECT_EQ(status, c.expected);
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    EXPECT_EQ(Ext(fdo)->started != 0, NT_SUCCESS(c.expected));
    if (NT_SUCCESS(status)) {
      ASSERT_NE(Ext(fdo)->interfaceInfo, nullptr);
      EXPECT_EQ(Ext(fdo)->interfaceInfo->NumberOfPipes, c.pipes);
    }
    Finish(*this, pdo);
  }
}

TEST_F(StartFaultTest, NoDeviceDescriptorNoStringsNoInstall) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = StartWith(
      *this,
      [](sim::usbdevice::Descriptors& d) {
        d.stalled.insert({1, 0});
      },
      &pdo);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Ext(pdo->AttachedDevice)->serialNumber[0], '\0');
  EXPECT_TRUE(platform::vxd::shell::Launches().empty());
  Finish(*this, pdo);
}

// A device descriptor shorter than asked for: what the device did not send reads as zero, not
// as what the pool block held before. Both string indices are then 0, so both strings come
// from the language list (0x0409: the single character 0x09).
TEST_F(StartFaultTest, AShortDeviceDescriptorLeavesZerosWhereNothingArrived) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = StartWith(
      *this, [](sim::usbdevice::Descriptors& d) { d.device.resize(8); }, &pdo);
  EXPECT_EQ(status, STATUS_SUCCESS);
  DEVICE_EXTENSION* extension = Ext(pdo->AttachedDevice);
  ASSERT_NE(extension->deviceDescriptor, nullptr);
  const auto* bytes = reinterpret_cast<const BYTE*>(extension->deviceDescriptor);
  EXPECT_EQ(std::vector<BYTE>(bytes + 8, bytes + sizeof(USB_DEVICE_DESCRIPTOR)),
            std::vector<BYTE>(sizeof(USB_DEVICE_DESCRIPTOR) - 8, 0));
  EXPECT_EQ(std::string(extension->serialNumber), "\x09");
  EXPECT_EQ(std::string(extension->productName), "\x09");
  Finish(*this, pdo);
}

TEST_F(StartFaultTest, ALowerDriverThatFailsTheStartDoesNotStopOurs) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  Add(pdo);
  world().Call([&] { platform::usb::SetStartStatus(pdo, STATUS_UNSUCCESSFUL); });
  EXPECT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  RemoveAndUnplug(pdo);
}

TEST_F(StartFaultTest, WithoutTheShellNoInstallProgram) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  Remove_DDB(Get_DDB(0, "SHELL   "));
  PDEVICE_OBJECT pdo = PlugModem();
  Add(pdo);
  EXPECT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(platform::vxd::shell::Launches().empty());
  RemoveAndUnplug(pdo);
}

// A transfer the way the transfer engine makes them: its own request and URB from the pool, the
// device's request count raised until the completion gives both back.
struct Outstanding {
  PDEVICE_OBJECT fdo = nullptr;
  URB* urb = nullptr;
  UCHAR* buffer = nullptr;
  NTSTATUS status = STATUS_PENDING;
};

NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* transfer = static_cast<Outstanding*>(context);
  transfer->status = irp->IoStatus.Status;
  ExFreePool(transfer->urb);
  ExFreePool(transfer->buffer);
  IoFreeIrp(irp);
  BulkUsb_DecrementIoCount(transfer->fdo);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(StartFaultTest, RemoveWaitsForAnOutstandingTransferToComeBack) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  PDEVICE_OBJECT fdo = Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  auto transfer = std::make_unique<Outstanding>();
  transfer->fdo = fdo;
  world().Call([&] {
    DEVICE_EXTENSION* extension = Ext(fdo);
    transfer->urb = static_cast<URB*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kPoolTag));
    std::memset(transfer->urb, 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = transfer->urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(bulk);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = extension->interfaceInfo->Pipes[3].PipeHandle;  // bulk IN 0x83
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer->buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 32, kPoolTag));
    bulk.TransferBuffer = platform::vxd::ToFlat(transfer->buffer);
    bulk.TransferBufferLength = 32;
    PIRP irp = IoAllocateIrp(extension->lowerDevice->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = transfer->urb;
    IoSetCompletionRoutine(irp, TransferDone, transfer.get(), TRUE, TRUE, TRUE);
    BulkUsb_IncrementIoCount(fdo);
    EXPECT_EQ(IofCallDriver(extension->lowerDevice, irp), STATUS_PENDING);
  });
  // The modem has no indication to give: the transfer stays with the bus, frame after frame.
  platform::clock::SleepFor(platform::clock::Milliseconds(50));
  EXPECT_EQ(transfer->status, STATUS_PENDING);
  RemoveAndUnplug(pdo);
  EXPECT_EQ(transfer->status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace driver_test
