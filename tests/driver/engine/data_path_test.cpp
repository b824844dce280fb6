// Data both ways through a running modem: bytes from the port side reach the firmware, its
// answer reaches the port side; the XON/XOFF filters; the retry cases; oversized packets.
#include <string>

#include "tests/driver/support/port_side.h"

namespace driver_test {
namespace {

std::string Text(const std::vector<UCHAR>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class DataPathTest : public EngineTest {
 protected:
  void Send(const std::string& text) {
    world().Call([&] { Port().transmit.insert(Port().transmit.end(), text.begin(), text.end()); });
  }
  std::string Received() {
    std::string text;
    world().Call([&] { text = Text(Port().received); });
    return text;
  }
  // With XON/XOFF on the modem's side (outX), the modem answers "ati9" with an XOFF after it.
  void ModemSendsXoff() {
    CallDriver(WDM_SET_XONXOFF, 0x100);
    RunFor(150);
    world().Call([&] {
      modem_->QueueIndication(sim::usbdevice::UsbModem::FlowSettings(0x11, 0x13, 0, 0, 0, 0, 0));
      modem_->firmware().behaviour().extraText = "\x13";
    });
    Send("ati9\r\n");
    RunFor(400);
  }
};

TEST_F(DataPathTest, Ati9GoesOutAndTheAnswerComesIn) {
  StartModem();
  AttachPort();
  Send("ati9\r\n");
  RunFor(400);
  EXPECT_NE(Received().find("USB high power, bus-powered function"), std::string::npos)
      << Received();
  world().Call([&] {
    // One PORT_GET_DATA asked for the 6 bytes waiting.
    int gets = 0;
    for (const PortSideCall& call : Port().calls) {
      if (call.function == PORT_GET_DATA && !call.bytes.empty()) {
        ++gets;
        EXPECT_EQ(Text(call.bytes), "ati9\r\n");
      }
    }
    EXPECT_EQ(gets, 1);
    EXPECT_EQ(modem_->rejectedPackets(), 0);
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(DataPathTest, ThreeHundredBytesGoOutInPacketsOfSixtyTwo) {
  StartModem();
  AttachPort();
  Send(std::string(300, 'a'));
  RunFor(300);
  world().Call([&] {
    std::vector<std::size_t> sizes;
    for (const PortSideCall& call : Port().calls) {
      if (call.function == PORT_GET_DATA) sizes.push_back(call.bytes.size());
    }
    ASSERT_GE(sizes.size(), 5u);
    EXPECT_EQ(sizes[0], 62u);
    EXPECT_EQ(modem_->bytesFromHost(), 300u);
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(DataPathTest, HostXonXoffAreFilteredUnderReadSoftFlow) {
  StartModem();
  world().Call([&] {
    modem_->QueueIndication(sim::usbdevice::UsbModem::FlowSettings(0x11, 0x13, 0, 1, 0, 0, 0));
  });
  RunFor(200);
  world().Call([&] { EXPECT_EQ(Modem().readSoftFlow, 1u); });
  AttachPort();
  Send("at\x13i9\r\n");
  RunFor(100);
  world().Call([&] {
    EXPECT_EQ(Modem().hostXon, 0u);
    EXPECT_EQ(modem_->bytesFromHost(), 6u);  // the XOFF stayed out of the packet
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(DataPathTest, ModemXonXoffAreRemovedWhenOutXIsSet) {
  StartModem();
  AttachPort();
  ModemSendsXoff();
  world().Call([&] {
    EXPECT_EQ(Modem().modemXon, 0u);
    EXPECT_EQ(Received().find('\x13'), std::string::npos);
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

// The port side attaches again, by either entry, while the modem's XOFF is in force: it is
// sent nothing until the modem's XON.
TEST_F(DataPathTest, AReattachDuringTheModemsXoffSendsNothingUntilTheXon) {
  for (bool poll : {false, true}) {
    SCOPED_TRACE(poll ? "poll" : "attach");
    StartModem();
    AttachPort();
    ModemSendsXoff();
    AttachPort(poll ? ByPoll : ByAttach);
    // Online without flow settings, the transmit state's handler is write_online_sw.
    auto writes = [&] {
      bool sent = false;
      world().Call([&] {
        Port().transmit.assign(10, 'x');
        write_fsm[OnlineNone](fdo_, 10);
        sent = Modem().dataOut.busy != 0;
        Port().transmit.clear();
      });
      RunFor(20);  // the packet, if any, has gone
      return sent;
    };
    EXPECT_FALSE(writes());
    world().Call([&] { modem_->firmware().behaviour().extraText = "\x11"; });
    Send("ati9\r\n");
    RunFor(400);
    EXPECT_TRUE(writes());
    CallDriver(WDM_DETACH);
    RemoveAndUnplug(pdo_);
  }
}

TEST_F(DataPathTest, ARetriedDataOutPacketCarriesIdenticalBytes) {
  StartModem();
  AttachPort();
  RunFor(150);
  // The first data-out packet is lost on the bus with a transaction error (no bytes), the
  // second time with a packet that was not accessed; both are sent again unchanged.
  world().Call([&] {
    world().bus().InjectPacketStatus(0x06, static_cast<USBD_STATUS>(0xC000000Eu), 1);
    world().bus().InjectTransferStatus(0x06, USBD_STATUS_XACT_ERROR, 1);
  });
  Send("ati9\r\n");
  RunFor(20);
  world().Call([&] {
    world().bus().InjectPacketStatus(0x06, static_cast<USBD_STATUS>(0xC000000Fu), 1);
    world().bus().InjectTransferStatus(0x06, USBD_STATUS_SUCCESS, 1);
  });
  Send("ati9\r\n");
  RunFor(400);
  world().Call([&] {
    EXPECT_EQ(modem_->bytesFromHost(), 12u);
    EXPECT_EQ(modem_->rejectedPackets(), 0);
    int gets = 0;
    for (const PortSideCall& call : Port().calls) gets += call.function == PORT_GET_DATA;
    EXPECT_EQ(gets, 2);  // a retry does not ask the port side again
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(DataPathTest, ADataInLengthAboveSixtyTwoIsAPacketWithoutData) {
  StartModem();
  AttachPort();
  world().Call([&] { modem_->faults().oversizedDataIn = 1; });
  Send("ati9\r\n");
  RunFor(400);
  // The oversized packet delivered nothing; the answer came with the following packets.
  EXPECT_NE(Received().find("USB high power"), std::string::npos);
  world().Call([&] {
    for (const PortSideCall& call : Port().calls) {
      if (call.function == PORT_PUT_DATA) {
        EXPECT_LE(call.bytes.size(), 62u);
      }
    }
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

TEST_F(DataPathTest, FiveZeroSequencePacketsSuspendData) {
  StartModem();
  AttachPort();
  RunFor(150);
  world().Call([&] { modem_->faults().zeroSequenceRun = 1000; });
  RunFor(20);
  Send("ati9\r\n");
  RunFor(100);
  world().Call([&] {
    EXPECT_GE(Modem().status.emptyCount, 5u);
    EXPECT_EQ(modem_->bytesFromHost(), 0u);
    modem_->faults().zeroSequenceRun = 0;
  });
  RunFor(100);
  world().Call([&] {
    EXPECT_EQ(Modem().status.emptyCount, 0u);
    EXPECT_EQ(modem_->bytesFromHost(), 6u);
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

// Status packets out of sequence or without status leave the driver with the last decoded
// sequence byte, which the modem has used up by then: no data-out packet may go with it, or the
// modem drops the packet and its bytes. Every byte arrives once.
TEST_F(DataPathTest, NoBytesAreLostWhileStatusPacketsAreMissed) {
  StartModem();
  AttachPort();
  RunFor(150);
  std::string text;
  for (int i = 0; i < 40; ++i) text += "line " + std::to_string(i) + " of the stream\r\n";
  for (int round = 0; round < 4; ++round) {
    world().Call([&] {
      if (round % 2 == 0) modem_->faults().sequenceGaps = 15;
      if (round % 2 == 1) modem_->faults().zeroSequenceRun = 4;
    });
    Send(text);
    RunFor(200);
  }
  world().Call([&] {
    EXPECT_EQ(modem_->rejectedPackets(), 0);
    EXPECT_EQ(modem_->bytesFromHost(), 4 * text.size());
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

// A data-out request that cannot be built takes no byte from the port side: they go out with
// the next packet that can be sent.
TEST_F(DataPathTest, NoBytesAreTakenForAPacketThatCannotBeBuilt) {
  StartModem();
  AttachPort();
  RunFor(150);
  std::string text;
  for (int i = 0; i < 10; ++i) text += "line " + std::to_string(i) + " of the stream\r\n";
  for (unsigned kind : {pool::kRequest, pool::kPool}) {
    world().Call([&] { pool::FailNth(1, kind); });  // the next data-out's request or URB
    Send(text);
    RunFor(200);
  }
  world().Call([&] {
    EXPECT_EQ(modem_->rejectedPackets(), 0);
    EXPECT_EQ(modem_->bytesFromHost(), 2 * text.size());
  });
  CallDriver(WDM_DETACH);
  RemoveAndUnplug(pdo_);
}

}  // namespace
}  // namespace driver_test
