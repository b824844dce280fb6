// Plug and Play: the state table through add, start, stop, start and remove; refusals while the
// modem is busy; requests handed down while not started; the configuration reads.
#include <vector>

#include "platform/vxd/shell.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

using PnpTest = DriverTest;

struct Flags {
  bool started, removePending, stopPending, removed;
  bool operator==(const Flags&) const = default;
};

Flags FlagsOf(PDEVICE_OBJECT fdo) {
  DEVICE_EXTENSION* extension = Extension(fdo);
  return {extension->started != 0, extension->removePending != 0, extension->stopPending != 0,
          extension->removed != 0};
}

// A modem that counts its configuration descriptor reads and their lengths.
class CountingModem : public sim::usbdevice::UsbModem {
 public:
  using UsbModem::UsbModem;
  USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                      ULONG& transferred) override {
    if (setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && setup.wValue >> 8 == 2) {
      configReads.push_back(setup.wLength);
    }
    return UsbModem::Control(setup, data, transferred);
  }
  std::vector<USHORT> configReads;
};

TEST_F(PnpTest, AddStartStopStartRemoveFollowsTheStateTable) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto modem = std::make_shared<CountingModem>(ModemIdentity{u"A1B2", u"Modem", true});
  PDEVICE_OBJECT pdo = Plug(modem);
  PDEVICE_OBJECT fdo = Add(pdo);
  ASSERT_NE(fdo, nullptr);
  DEVICE_EXTENSION* extension = Ext(fdo);
  EXPECT_EQ(FlagsOf(fdo), (Flags{false, false, false, false}));
  EXPECT_EQ(extension->lowerDevice, pdo);
  EXPECT_EQ(extension->physicalDevice, pdo);
  EXPECT_EQ(extension->ioCount, 1);
  EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  // The bus reports D2 for S1..S3: the last below D3 wins.
  EXPECT_EQ(extension->autoPowerDownState, PowerDeviceD2);

  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(FlagsOf(fdo), (Flags{true, false, false, false}));
  EXPECT_EQ(extension->devicePowerState, PowerDeviceD0);
  EXPECT_EQ(std::string(extension->serialNumber), "A1B2");
  EXPECT_EQ(std::string(extension->productName), "Modem");
  ASSERT_NE(extension->interfaceInfo, nullptr);
  ASSERT_EQ(extension->interfaceInfo->NumberOfPipes, 5u);
  const UCHAR expected[] = {0x81, 0x85, 0x06, 0x83, 0x04};
  for (int i = 0; i < 5; ++i) {
    const USBD_PIPE_INFORMATION& pipe = extension->interfaceInfo->Pipes[i];
    EXPECT_EQ(pipe.EndpointAddress, expected[i]);
    EXPECT_EQ(pipe.MaximumTransferSize, 4096u);
    EXPECT_NE(pipe.PipeHandle, 0u);
  }
  EXPECT_EQ(extension->interfaceInfo->Pipes[0].MaximumPacketSize, 8);
  EXPECT_EQ(extension->interfaceInfo->Pipes[3].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(modem->configuration(), 2);  // configuration index 1 has the value 2
  EXPECT_EQ(modem->configReads, std::vector<USHORT>{1033});
  EXPECT_NE(extension->configHandle, 0u);
  EXPECT_EQ(extension->modemContext.active, 1u);

  EXPECT_EQ(pnp::StopDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(FlagsOf(fdo), (Flags{false, false, false, false}));
  EXPECT_EQ(modem->configuration(), 0);
  EXPECT_EQ(extension->modemContext.active, 0u);

  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(FlagsOf(fdo), (Flags{true, false, false, false}));
  auto launches = platform::vxd::shell::Launches();
  ASSERT_EQ(launches.size(), 2u);  // the install program is started at every start
  EXPECT_EQ(launches[1].file, "MDMINST.EXE");
  EXPECT_EQ(launches[1].parameters, "A1B2#Modem");

  // Query-remove accepted, then cancelled.
  world().Call([&] {
    EXPECT_EQ(pnp::Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(FlagsOf(fdo), (Flags{true, true, false, false}));
    EXPECT_EQ(pnp::Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(FlagsOf(fdo), (Flags{true, false, false, false}));
  });
  RemoveAndUnplug(pdo);
  EXPECT_EQ(pool::Outstanding().blocks.size(), 1u);  // only the device table
}

TEST_F(PnpTest, QueriesAreRefusedWhileThePortSideHasTheModem) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  PDEVICE_OBJECT fdo = Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  Ext(fdo)->modemContext.portAttached = 1;
  EXPECT_EQ(pnp::StopDevice(pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(FlagsOf(fdo), (Flags{true, false, false, false}));
  EXPECT_EQ(Ext(fdo)->ioCount, 1);
  Ext(fdo)->modemContext.portAttached = 0;
  EXPECT_EQ(pnp::StopDevice(pdo), STATUS_SUCCESS);
  RemoveAndUnplug(pdo);
}

// A stop whose unconfigure request cannot be allocated still ends the pending stop: the device
// stays configured and takes work again instead of refusing it for good.
TEST_F(PnpTest, AStopWithoutMemoryStillClearsTheStopPending) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  PDEVICE_OBJECT fdo = Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  world().Call([&] {
    EXPECT_EQ(pnp::Send(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(FlagsOf(fdo), (Flags{true, false, true, false}));
    EXPECT_FALSE(BulkUsb_CanAcceptIoRequests(fdo));
    pool::FailNth(1, pool::kPool);
    EXPECT_EQ(BulkUsb_StopDevice(fdo), STATUS_INSUFFICIENT_RESOURCES);
    pool::FailNth(0);
    EXPECT_EQ(FlagsOf(fdo), (Flags{true, false, false, false}));
    EXPECT_TRUE(BulkUsb_CanAcceptIoRequests(fdo));
    EXPECT_EQ(pnp::Send(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  });
  RemoveAndUnplug(pdo);
}

TEST_F(PnpTest, QueriesOfADeviceNotStartedAreHandedDownUntouched) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  PDEVICE_OBJECT fdo = Add(pdo);
  Ext(fdo)->modemContext.portAttached = 1;  // not even a busy modem refuses before it started
  world().Call([&] {
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
      EXPECT_EQ(pnp::Send(pdo, minor), STATUS_SUCCESS) << pnp::MinorName(minor);
      EXPECT_EQ(FlagsOf(fdo), (Flags{false, false, false, false})) << pnp::MinorName(minor);
    }
  });
  Ext(fdo)->modemContext.portAttached = 0;
  // A device that never started is removed without aborting anything.
  RemoveAndUnplug(pdo);
}

TEST_F(PnpTest, ALongConfigurationIsReadASecondTimeAtItsLength) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto modem = std::make_shared<CountingModem>();
  // Vendor descriptors after the endpoints make the configuration 1100 bytes long.
  std::vector<BYTE>& config = modem->descriptors().configurations[1];
  while (config.size() < 1100) config.insert(config.end(), {2, 0x24});
  config[2] = 1100 & 0xFF;
  config[3] = 1100 >> 8;
  PDEVICE_OBJECT pdo = Plug(modem);
  PDEVICE_OBJECT fdo = Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(modem->configReads, (std::vector<USHORT>{1033, 1100}));
  EXPECT_EQ(Ext(fdo)->configDescriptor->wTotalLength, 1100);
  EXPECT_EQ(Ext(fdo)->interfaceInfo->NumberOfPipes, 5u);
  RemoveAndUnplug(pdo);
}

NTSTATUS gPowerStatus = STATUS_PENDING;

TEST_F(PnpTest, PowerRequestsPassThroughTheDriver) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  EXPECT_EQ(pnp::SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, state), STATUS_SUCCESS);
  world().Call([&] {
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(
                  pdo, IRP_MN_SET_POWER, state,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK status) {
                    gPowerStatus = status->Status;
                    return status->Status;
                  },
                  nullptr, &irp),
              STATUS_PENDING);
  });
  platform::clock::SleepFor(platform::clock::Milliseconds(1));
  EXPECT_EQ(gPowerStatus, STATUS_SUCCESS);
  RemoveAndUnplug(pdo);
}

TEST_F(PnpTest, SurpriseRemovalTakesTheDeviceAway) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem();
  Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  world().Detach(pdo);
  EXPECT_EQ(pnp::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  world().Unplug(pdo);
}

}  // namespace
}  // namespace driver_test
