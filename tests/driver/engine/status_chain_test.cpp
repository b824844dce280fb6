// The status chain: started by the polling timer, one transfer always in flight, sequence
// handling, decoding, and its stop.
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
