// The server side of a COM port served over RFC 2217, against an in-process port: what a client
// negotiates, each command carried out on the port and acknowledged, modem lines notified, data
// escaped both ways, and clients that break the protocol.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/net/rfc2217.h"
#include "platform/net/telnet.h"
#include "platform/win32/inprocess_port.h"
#include "tests/support/virtual_time.h"
#include "tools/mdmsim/rfc2217_session.h"

namespace {

namespace net = platform::net;
namespace rfc = platform::net::rfc2217;
using Bytes = std::vector<BYTE>;

Bytes Negotiation(BYTE verb, BYTE option) {
  Bytes out;
  net::AppendNegotiation(out, verb, option);
  return out;
}

// A COM-port command as the client sends it, or its answer as the server does.
Bytes Sub(BYTE command, Bytes value = {}) {
  value.insert(value.begin(), command);
  Bytes out;
  net::AppendSubnegotiation(out, net::kOptionComPort, value);
  return out;
}
Bytes Answer(BYTE command, Bytes value = {}) {
  return Sub(static_cast<BYTE>(command + rfc::kServerOffset), std::move(value));
}

class Rfc2217SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device->SetModemStatus(MS_CTS_ON | MS_DSR_ON);
    port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    session = std::make_unique<mdmsim::Rfc2217Session>(port, "mdmsim COM5");
  }
  void TearDown() override {
    session.reset();
    CloseHandle(port);
  }

  // Sends `bytes` from the client and gives the server's answer.
  Bytes Client(const Bytes& bytes) {
    EXPECT_TRUE(session->FromClient(bytes, toPort));
    return session->TakeForClient();
  }
  void OpenOption() {
    Client(Negotiation(net::kWill, net::kOptionComPort));
    Client(Negotiation(net::kDo, net::kOptionComPort));
  }

  testing_support::VirtualTime time;
  std::shared_ptr<platform::win32::InProcessPort> device =
      platform::win32::InProcessPort::Create("COM5");
  HANDLE port = nullptr;
  std::unique_ptr<mdmsim::Rfc2217Session> session;
  Bytes toPort;
};

TEST_F(Rfc2217SessionTest, AgreesToWhatItOffersOnceAndRefusesTheRest) {
  // The modem lines follow the first agreement at once.
  Bytes agreed = Negotiation(net::kDo, net::kOptionComPort);
  Bytes lines = Answer(rfc::kNotifyModemState, {rfc::kModemCts | rfc::kModemDsr});
  agreed.insert(agreed.end(), lines.begin(), lines.end());
  EXPECT_EQ(Client(Negotiation(net::kWill, net::kOptionComPort)), agreed);
  EXPECT_EQ(Client(Negotiation(net::kDo, net::kOptionComPort)),
            Negotiation(net::kWill, net::kOptionComPort));
  EXPECT_EQ(Client(Negotiation(net::kWill, net::kOptionComPort)), Bytes{});  // no answer loop
  EXPECT_EQ(Client(Negotiation(net::kDo, net::kOptionEcho)), Negotiation(net::kWont, 1));
  EXPECT_EQ(Client(Negotiation(net::kWill, 99)), Negotiation(net::kDont, 99));
  EXPECT_EQ(Client(Negotiation(net::kDo, net::kOptionBinary)),
            Negotiation(net::kWill, net::kOptionBinary));
  EXPECT_EQ(Client(Negotiation(net::kDont, net::kOptionBinary)),
            Negotiation(net::kWont, net::kOptionBinary));
  EXPECT_EQ(Client(Negotiation(net::kDont, net::kOptionBinary)), Bytes{});
}

TEST_F(Rfc2217SessionTest, CommandsCountOnlyOnceTheOptionIsOn) {
  EXPECT_EQ(Client(Sub(rfc::kSetBaudRate, {0, 0, 0xE1, 0})), Bytes{});
  EXPECT_NE(device->Snapshot().dcb.BaudRate, 57600u);
  OpenOption();
  EXPECT_EQ(Client(Sub(rfc::kSetBaudRate, {0, 0, 0xE1, 0})),
            Answer(rfc::kSetBaudRate, {0, 0, 0xE1, 0}));
  EXPECT_EQ(device->Snapshot().dcb.BaudRate, 57600u);
}

TEST_F(Rfc2217SessionTest, LineSettingsAreSetAndAnsweredWithTheValueInForce) {
  OpenOption();
  EXPECT_EQ(Client(Sub(rfc::kSetDataSize, {7})), Answer(rfc::kSetDataSize, {7}));
  EXPECT_EQ(Client(Sub(rfc::kSetParity, {rfc::kParityEven})),
            Answer(rfc::kSetParity, {rfc::kParityEven}));
  EXPECT_EQ(Client(Sub(rfc::kSetStopSize, {rfc::kStopTwo})),
            Answer(rfc::kSetStopSize, {rfc::kStopTwo}));
  DCB dcb = device->Snapshot().dcb;
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_TRUE(dcb.fParity);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  // A value the port cannot take changes nothing; 0 asks.
  EXPECT_EQ(Client(Sub(rfc::kSetDataSize, {9})), Answer(rfc::kSetDataSize, {7}));
  EXPECT_EQ(Client(Sub(rfc::kSetParity, {0})), Answer(rfc::kSetParity, {rfc::kParityEven}));
  Bytes rate = rfc::WithValue32(rfc::kSetBaudRate, dcb.BaudRate);
  rate.erase(rate.begin());
  EXPECT_EQ(Client(Sub(rfc::kSetBaudRate, {0, 0, 0, 0})), Answer(rfc::kSetBaudRate, rate));
  // Cut-off values are no command.
  EXPECT_EQ(Client(Sub(rfc::kSetBaudRate, {1, 2})), Bytes{});
  EXPECT_EQ(Client(Sub(rfc::kSetDataSize)), Bytes{});
}

TEST_F(Rfc2217SessionTest, ControlsMoveTheLinesAndAnswerRequests) {
  OpenOption();
  EXPECT_EQ(Client(Sub(rfc::kSetControl, {rfc::kControlDtrOff})),
            Answer(rfc::kSetControl, {rfc::kControlDtrOff}));
  EXPECT_EQ(Client(Sub(rfc::kSetControl, {rfc::kControlRtsOn})),
            Answer(rfc::kSetControl, {rfc::kControlRtsOn}));
  EXPECT_FALSE(device->Snapshot().dtr);
  EXPECT_TRUE(device->Snapshot().rts);
  EXPECT_EQ(Client(Sub(rfc::kSetControl, {rfc::kControlRequestDtr})),
            Answer(rfc::kSetControl, {rfc::kControlDtrOff}));
  EXPECT_EQ(Client(Sub(rfc::kSetControl, {rfc::kControlFlowHardware})),
            Answer(rfc::kSetControl, {rfc::kControlFlowHardware}));
  EXPECT_TRUE(device->Snapshot().dcb.fOutxCtsFlow);
  EXPECT_EQ(Client(Sub(rfc::kSetControl, {rfc::kControlRequestFlow})),
            Answer(rfc::kSetControl, {rfc::kControlFlowHardware}));
  EXPECT_EQ(Client(Sub(rfc::kSetControl, {19})), Bytes{});  // DSR flow control: not offered
}

TEST_F(Rfc2217SessionTest, ModemLineChangesAreNotifiedThroughTheMask) {
  OpenOption();
  EXPECT_EQ(Client(Sub(rfc::kNotifyModemState)),
            Answer(rfc::kNotifyModemState, {rfc::kModemCts | rfc::kModemDsr}));
  session->CheckModemState();
  EXPECT_EQ(session->TakeForClient(), Bytes{});  // nothing changed
  device->SetModemStatus(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  session->CheckModemState();
  EXPECT_EQ(session->TakeForClient(),
            Answer(rfc::kNotifyModemState,
                   {rfc::kModemCd | rfc::kModemCts | rfc::kModemDsr | rfc::kModemDeltaCd}));
  EXPECT_EQ(Client(Sub(rfc::kSetModemStateMask, {rfc::kModemDeltaCd})),
            Answer(rfc::kSetModemStateMask, {rfc::kModemDeltaCd}));
  device->SetModemStatus(MS_DSR_ON | MS_RLSD_ON);  // CTS drops: masked out
  session->CheckModemState();
  EXPECT_EQ(session->TakeForClient(), Bytes{});
  device->SetModemStatus(MS_DSR_ON);
  session->CheckModemState();
  EXPECT_EQ(session->TakeForClient(), Answer(rfc::kNotifyModemState, {rfc::kModemDeltaCd}));
}

TEST_F(Rfc2217SessionTest, DataCrossesWithItsEscapesAndPurgesReachThePort) {
  OpenOption();
  EXPECT_EQ(Client({'a', net::kIac, net::kIac, 'b'}), Bytes{});
  EXPECT_EQ(toPort, (Bytes{'a', 0xFF, 'b'}));
  session->FromPort(Bytes{0xFF, 'c'});
  EXPECT_EQ(session->TakeForClient(), (Bytes{0xFF, 0xFF, 'c'}));
  EXPECT_EQ(Client(Sub(rfc::kPurgeData, {rfc::kPurgeBoth})),
            Answer(rfc::kPurgeData, {rfc::kPurgeBoth}));
  EXPECT_EQ(device->Snapshot().purges.back(), PURGE_RXCLEAR | PURGE_TXCLEAR);
  EXPECT_EQ(Client(Sub(rfc::kPurgeData, {4})), Bytes{});
  EXPECT_EQ(Client(Sub(rfc::kSignature)),
            Answer(rfc::kSignature, Bytes{'m', 'd', 'm', 's', 'i', 'm', ' ', 'C', 'O', 'M', '5'}));
  EXPECT_FALSE(session->suspended());
  Client(Sub(rfc::kFlowControlSuspend));
  EXPECT_TRUE(session->suspended());
  Client(Sub(rfc::kFlowControlResume));
  EXPECT_FALSE(session->suspended());
}

TEST_F(Rfc2217SessionTest, AClientThatBreaksTheProtocolIsToBeDropped) {
  OpenOption();
  Bytes flood{net::kIac, net::kSb, net::kOptionComPort};
  flood.insert(flood.end(), 10000, 'x');
  EXPECT_FALSE(session->FromClient(flood, toPort));
  EXPECT_TRUE(toPort.empty());
}

}  // namespace
