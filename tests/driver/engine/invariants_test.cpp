// The transfer engine's invariants in the checked build: a misuse of the driver's own operations
// that would hand the bus a request it already holds, or call the port side with a function of
// its own, stops the program there instead of corrupting the request or the port side's state.
#include "driver/usb/channel.h"
#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {

using InvariantsTest = EngineTest;

#if MDM_CHECKED
TEST_F(InvariantsTest, ASecondStatusSubmissionWhileOneIsWithTheBusStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  StartModem();
  RunFor(150);  // the timer has started the status chain
  bool inFlight = false;
  world().Call([&] { inFlight = engine::InFlight(Modem().status.irp); });
  EXPECT_TRUE(inFlight);  // the chain keeps one status transfer with the bus between frames
  EXPECT_DEATH(world().Call([&] { IsoUsb_BuildReadStatusRequest(fdo_); }),
               "channel.cpp:[0-9]+: assertion failed: !InFlight");
  RemoveAndUnplug(pdo_);
}

TEST_F(InvariantsTest, ACallOfThePortSideWithAnotherSidesFunctionStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  StartModem();
  AttachPort();
  EXPECT_DEATH(world().Call([&] { PortCall(Modem(), WDM_SET_XONXOFF, 0, nullptr); }),
               "port.cpp:[0-9]+: assertion failed: IsPortFunction\\(function\\)");
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}
#endif

}  // namespace
}  // namespace driver_test
