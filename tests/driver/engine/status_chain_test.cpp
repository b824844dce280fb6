// The status chain: started by the polling timer, one transfer always in flight, sequence
// handling, decoding, and its stop.
#include "platform/wdm/pool.h"
#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {

TEST_F(EngineTest, TheFirstStatusTransferStartsAHundredMillisecondsAfterTheStart) {
  StartModem();
  RunFor(99);
  world().Call([&] { EXPECT_EQ(Modem().status.busy, 0u); });
  RunFor(2);
  world().Call([&] { EXPECT_EQ(Modem().status.busy, 1u); });
  RunFor(50);
  world().Call([&] {
    EXPECT_NE(Modem().status.expectedSeq, 0u);
    EXPECT_EQ(Modem().status.emptyCount, 0u);
  });
  EXPECT_EQ(pnp::StopDevice(pdo_), STATUS_SUCCESS);
  world().Call([&] {
    EXPECT_EQ(Modem().status.busy, 0u);
    EXPECT_EQ(Modem().status.irp, nullptr);
    EXPECT_EQ(Modem().status.urb, nullptr);
  });
  RemoveAndUnplug(pdo_);
}

}  // namespace
}  // namespace driver_test

namespace driver_test {
namespace {

// After its first submission the chain reuses its one request packet and URB: a second of
// completions allocates nothing.
TEST_F(EngineTest, TheStatusChainAllocatesNothingAfterItsFirstSubmission) {
  StartModem();
  AttachPort();
  RunFor(200);
  platform::wdm::pool::ResetCount();
  RunFor(1000);
  EXPECT_EQ(platform::wdm::pool::Count(), 0u);
  world().Call([&] { EXPECT_GE(modem_->statusPackets(), 500u); });
  CallDriver(WDM_DETACH);
  EXPECT_EQ(pnp::StopDevice(pdo_), STATUS_SUCCESS);
  RemoveAndUnplug(pdo_);
}

}  // namespace
}  // namespace driver_test
