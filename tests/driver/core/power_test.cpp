// Power: system states mapped to device requests, devicePowerState around device requests,
// refused queries while the port is open, wait-wake, and a device request the power manager
// refuses to make.
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

class PowerTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    pdo_ = PlugModem({u"A1B2", u"Modem", true});
    fdo_ = Add(pdo_);
    ASSERT_EQ(pnp::StartDevice(pdo_), STATUS_SUCCESS);
    world().Call([] {});
    baseline_ = Ext(fdo_)->ioCount;
  }
  void TearDown() override {
    RemoveAndUnplug(pdo_);
    DriverTest::TearDown();
  }
  NTSTATUS System(SYSTEM_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
    POWER_STATE power;
    power.SystemState = state;
    return pnp::SendPower(pdo_, minor, SystemPowerState, power);
  }
  NTSTATUS Device(DEVICE_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
    POWER_STATE power;
    power.DeviceState = state;
    return pnp::SendPower(pdo_, minor, DevicePowerState, power);
  }
  // Nothing held, nothing pending, the count back where it was.
  void ExpectSettled() {
    world().Call([] {});
    EXPECT_EQ(Ext(fdo_)->heldSystemPowerIrp, nullptr);
    EXPECT_FALSE(Ext(fdo_)->selfPowerPending);
    EXPECT_EQ(Ext(fdo_)->ioCount, baseline_);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  LONG baseline_ = 0;
};

TEST_F(PowerTest, SleepAsksForD3AndWorkingBringsTheDeviceBackToD0) {
  EXPECT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD3);
  EXPECT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD0);
}

TEST_F(PowerTest, WithWakeArmedSleepUsesTheCapabilityTable) {
  world().Call([this] { Ext(fdo_)->wakeArmed = TRUE; });
  EXPECT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);  // the bus gives D2 for S3
  world().Call([this] { Ext(fdo_)->wakeArmed = FALSE; });
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD2);
}

TEST_F(PowerTest, ASystemRequestForTheCurrentStateGoesStraightDown) {
  EXPECT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD0);
}

TEST_F(PowerTest, DevicePowerDownLowersAtOnceAndPowerUpRaisesOnCompletion) {
  DEVICE_POWER_STATE seen = PowerDeviceUnspecified;
  BOOLEAN needDown = TRUE, needUp = FALSE;
  world().Call([&] {
    needDown = BulkUsb_SetDevicePowerState(fdo_, PowerDeviceD2);
    seen = Ext(fdo_)->devicePowerState;
    needUp = BulkUsb_SetDevicePowerState(fdo_, PowerDeviceD0);
  });
  EXPECT_FALSE(needDown);
  EXPECT_EQ(seen, PowerDeviceD2);
  EXPECT_TRUE(needUp);
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD2);  // until the lower drivers complete
  EXPECT_EQ(Device(PowerDeviceD0), STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD0);
  EXPECT_EQ(Device(PowerDeviceD3), STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD3);
}

TEST_F(PowerTest, QueriesAreRefusedWhileThePortIsOpen) {
  world().Call([this] { Ext(fdo_)->modemContext.portAttached = 1; });
  EXPECT_EQ(System(PowerSystemSleeping1, IRP_MN_QUERY_POWER), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Device(PowerDeviceD3, IRP_MN_QUERY_POWER), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(System(PowerSystemWorking, IRP_MN_QUERY_POWER), STATUS_UNSUCCESSFUL);
  world().Call([this] { Ext(fdo_)->modemContext.portAttached = 0; });
  EXPECT_EQ(System(PowerSystemSleeping1, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
  ExpectSettled();
}

TEST_F(PowerTest, WaitWakeAtD0IsRefused) {
  world().Call([this] { Ext(fdo_)->autoPowerDownState = PowerDeviceD3; });
  EXPECT_EQ(System(PowerSystemSleeping3, IRP_MN_WAIT_WAKE), STATUS_INVALID_DEVICE_STATE);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->autoPowerDownState, PowerDeviceD2);  // the wake device state
  EXPECT_FALSE(Ext(fdo_)->wakeArmed);
}

TEST_F(PowerTest, ARefusedDeviceRequestReleasesTheSystemRequestAndTheCount) {
  pool::FailNth(1, pool::kRequest);
  EXPECT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);  // went down without a device change
  pool::FailNth(0);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD0);

  NTSTATUS self = STATUS_SUCCESS;
  pool::FailNth(1, pool::kRequest);
  world().Call([&] { self = BulkUsb_SelfRequestPowerIrp(fdo_, PowerDeviceD2); });
  pool::FailNth(0);
  EXPECT_EQ(self, STATUS_INSUFFICIENT_RESOURCES);
  ExpectSettled();
}

TEST_F(PowerTest, SelfPowerChangesNeedADeviceThatAcceptsRequests) {
  NTSTATUS status = STATUS_SUCCESS;
  world().Call([&] { status = BulkUsb_SelfSuspendOrActivate(fdo_, TRUE); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD2);  // autoPowerDownState from the bus
  world().Call([&] { status = BulkUsb_SelfSuspendOrActivate(fdo_, FALSE); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  ExpectSettled();
  EXPECT_EQ(Ext(fdo_)->devicePowerState, PowerDeviceD0);
  ASSERT_EQ(pnp::StopDevice(pdo_), STATUS_SUCCESS);
  world().Call([&] { status = BulkUsb_SelfSuspendOrActivate(fdo_, TRUE); });
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
}

}  // namespace
}  // namespace driver_test
