// The flow-control tables: the modem status register shown to the port side, and when a data
// transfer starts. Handlers run on a started modem without a port side, so that only the handler
// under test starts transfers.
#include <functional>

#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {

TEST(FlowMsr, HardwareFlowCtsFollowsTheModemsTransmitLevel) {
  MDMContext modem{};
  modem.msr = 0x90;  // CTS and DCD shown
  modem.status.lineBits = 0x09;
  modem.status.modemTxLevel = 1676;
  update_msr_fsm[OnlineHardware](&modem);
  EXPECT_EQ(modem.msr, 0x90u);  // exactly 1676: CTS stays
  modem.status.modemTxLevel = 1700;
  update_msr_fsm[OnlineHardware](&modem);
  EXPECT_EQ(modem.msr, 0x81u);  // CTS dropped with its delta
  modem.msr &= 0xF0;
  modem.status.modemTxLevel = 600;
  update_msr_fsm[OnlineHardware](&modem);
  EXPECT_EQ(modem.msr, 0x80u);
  modem.status.modemTxLevel = 511;
  update_msr_fsm[OnlineHardware](&modem);
  EXPECT_EQ(modem.msr, 0x91u);
}

TEST(FlowMsr, LineBitsAreCopiedWithDeltasAndRingNeverShows) {
  MDMContext modem{};
  modem.status.lineBits = 0x0F;  // CTS, DSR, ring, DCD
  update_msr_fsm[Offline](&modem);
  EXPECT_EQ(modem.msr, 0xB0u | 0x0Bu);
  modem.msr &= 0xF0;
  update_msr_fsm[Offline](&modem);
  EXPECT_EQ(modem.msr, 0xB0u);  // nothing changed, no delta
}

TEST(FlowMsr, StatesComeFromDcdAndTheFlowSettings) {
  MDMContext modem{};
  FlowState transmit, receive;
  modem.writeHardFlow = 1;
  modem.readSoftFlow = 1;
  SelectFlowStates(modem, &transmit, &receive);
  EXPECT_EQ(transmit, Offline);
  modem.msr = 0x80;
  SelectFlowStates(modem, &transmit, &receive);
  EXPECT_EQ(transmit, OnlineHardware);
  EXPECT_EQ(receive, OnlineSoftware);
}

class FlowTest : public EngineTest {
 protected:
  // Runs the read handler of `state` with the given level and room; whether it started a read.
  bool Reads(FlowState state, LONG level, LONG room) {
    bool started = false;
    RunFor(5);  // an earlier read has finished
    world().Call([&] {
      Modem().status.modemRxLevel = static_cast<ULONG>(level);
      read_fsm[state](fdo_, room);
      started = Modem().dataIn.busy != 0;
    });
    return started;
  }
  // Runs the write handler; the payload length it asked for, or -1 when it sent nothing.
  // `setup` runs just before the handler: a status completion without a port side resets the
  // XON states.
  int Writes(FlowState state, LONG level, LONG count, const std::function<void()>& setup = {}) {
    int asked = -1;
    RunFor(5);
    world().Call([&] {
      if (setup) setup();
      Modem().status.modemTxLevel = static_cast<ULONG>(level);
      write_fsm[state](fdo_, count);
      if (Modem().dataOut.busy != 0) asked = Modem().dataOut.buffer[1];
    });
    return asked;
  }
};

TEST_F(FlowTest, ReadsNeedRoomOnlineButNotOffline) {
  StartModem();
  RunFor(150);
  EXPECT_TRUE(Reads(Offline, 5, 0));
  EXPECT_FALSE(Reads(OnlineNone, 100, 61));
  EXPECT_TRUE(Reads(OnlineNone, 100, 62));
  EXPECT_TRUE(Reads(OnlineNone, 40, 40));
  EXPECT_FALSE(Reads(OnlineNone, 0, 4096));
  world().Call([&] { Modem().rts = 0; });
  EXPECT_FALSE(Reads(OnlineHardware, 100, 4096));
  RemoveAndUnplug(pdo_);
}

TEST_F(FlowTest, WritesStopAtTheLevelAndUnderXoff) {
  StartModem();
  RunFor(150);
  EXPECT_EQ(Writes(Offline, 0, 300), 62);
  EXPECT_EQ(Writes(Offline, 1676, 10), -1);
  EXPECT_EQ(Writes(Offline, 1675, 10), 10);
  auto xoff = [&] {
    Modem().outX = 1;
    Modem().modemXon = 0;
  };
  EXPECT_EQ(Writes(OnlineNone, 0, 10, xoff), -1);  // index 1 is write_online_sw
  EXPECT_EQ(Writes(OnlineHardware, 0, 10, [&] { Modem().msr = 0x80; }), -1);  // no CTS shown
  RemoveAndUnplug(pdo_);
}

}  // namespace
}  // namespace driver_test
