// The port side's contract: attach, poll, the callback's functions, commands on the wire, and
// the detach at stop.
#include "platform/vxd/flat.h"
#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {
namespace vxd = platform::vxd;

PortRecord Poll(sim::world::World& world, const char* unit) {
  PortRecord record{};
  world.Call([&] {
    std::string name = unit;
    vxd::FlatScope flatName(name.c_str(), name.size() + 1);
    record.function = 77;  // not looked at
    record.unitName = flatName.flat();
    record.deviceHandle = 0xAAAA;
    record.callbackEntry = 0xBBBB;
    vxd::FlatScope flat(record);
    PollFnForVxD(flat.flat());
  });
  return record;
}

TEST_F(EngineTest, AttachByAPrefixAndTheCallbackEntryAnswer) {
  StartModem();
  PortRecord record = AttachPort("0000");
  EXPECT_EQ(record.function, WDM_ATTACH | kPortHandled);
  EXPECT_EQ(record.result, 0u);
  EXPECT_EQ(record.callbackEntry, vxd::EntryToFlat(&wdm_callback));
  EXPECT_NE(record.deviceHandle, 0u);
  world().Call([&] { EXPECT_TRUE(IsModemBusy(fdo_, nullptr)); });
  // An unknown function at the callback: result 0x80000000 with the handled flag.
  PortRecord unknown = CallDriver(WDM_ATTACH);
  EXPECT_EQ(unknown.result, 0x80000000u);
  EXPECT_EQ(unknown.function, WDM_ATTACH | kPortHandled);
  PortRecord detach = CallDriver(WDM_DETACH);
  EXPECT_EQ(detach.function, WDM_DETACH);  // no handled flag for a detach
  world().Call([&] { EXPECT_FALSE(IsModemBusy(fdo_, nullptr)); });
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, APollForAnUnknownUnitClearsTheOutFieldsAndSetsOnlyBit31) {
  StartModem();
  PortRecord record = Poll(world(), "ZZZZ");
  EXPECT_EQ(record.result, 0x80000000u);
  EXPECT_EQ(record.deviceHandle, 0u);
  EXPECT_EQ(record.callbackEntry, 0u);
  EXPECT_EQ(record.function, 77u);
  PortRecord found = Poll(world(), "0000A1B2C3D4");
  EXPECT_EQ(found.function, 77u | kPortHandled);
  EXPECT_EQ(found.callbackEntry, vxd::EntryToFlat(&wdm_callback));
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

// The driver's calls use a record of the modem's own; a call made while the port side is still
// inside one gets a record of its own, and each call keeps its own answer.
TEST_F(EngineTest, ACallFromInsideThePortSideKeepsEachAnswer) {
  StartModem();
  AttachPort();
  PortRecord outer{}, inner{};
  world().Call([&] {
    Port().room = 77;
    Port().inside = [&] {
      Port().room = 5;
      EXPECT_TRUE(PortCall(Modem(), PORT_PUT_MSR, 0x3300, &inner));
    };
    EXPECT_TRUE(PortCall(Modem(), PORT_PUT_MSR, 0x1100, &outer));
  });
  EXPECT_EQ(outer.parameter1, 77u);
  EXPECT_EQ(inner.parameter1, 5u);
  EXPECT_EQ(Port().lastMsr, 0x33);
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, SettingsBecomeCommandsByteForByte) {
  StartModem();
  AttachPort();
  CallDriver(WDM_SET_MCR, 2);  // DTR off, RTS on
  RunFor(150);
  CallDriver(WDM_SET_LINE, 57600, 0x000008);  // byte 16 = 8, bytes 17, 18 = 0
  RunFor(30);
  CallDriver(WDM_DETACH);
  RunFor(30);
  world().Call([&] {
    const auto& commands = modem_->commands();
    ASSERT_GE(commands.size(), 3u);
    std::vector<BYTE> control(32, 0);
    control[0] = 0x83;
    control[1] = 0x02;
    control[3] = 1;
    EXPECT_EQ(commands[0], control);
    std::vector<BYTE> line(32, 0);
    const BYTE head[] = {0x88, 0x01, 0x00, 0xE1, 0x00, 0x00, 0x00, 0x08, 0x00};
    std::copy(std::begin(head), std::end(head), line.begin());
    EXPECT_EQ(commands[1], line);
    // After the detach: DTR off, RTS unchanged.
    EXPECT_EQ(commands[2], control);
  });
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, XonXoffHandlingFollowsBitEightOnly) {
  StartModem();
  AttachPort();
  CallDriver(WDM_SET_XONXOFF, 0x100);
  world().Call([&] { EXPECT_EQ(Modem().outX, 1u); });
  CallDriver(WDM_SET_XONXOFF, 0x200);
  world().Call([&] { EXPECT_EQ(Modem().outX, 0u); });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(EngineTest, StopWithAPortSideAttachedDetachesItOnceAndNoTickFollows) {
  StartModem();
  AttachPort();
  RunFor(200);
  EXPECT_GT(Port().msrReports, 0);
  EXPECT_EQ(pnp::Send(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
  world().Call([&] { MDMSwitchToD3(fdo_); });
  EXPECT_EQ(Port().detaches, 1);
  int reports = Port().msrReports;
  RunFor(100);
  world().Call([&] {
    EXPECT_FALSE(IsModemBusy(fdo_, nullptr));
    EXPECT_EQ(Modem().status.busy, 0u);
    EXPECT_EQ(Modem().status.irp, nullptr);
  });
  EXPECT_EQ(Port().msrReports, reports);
  EXPECT_EQ(Port().detaches, 1);
  RemoveAndUnplug(pdo_);
}

}  // namespace
}  // namespace driver_test
