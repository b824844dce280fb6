// Calls through the whole driver stack in virtual time, as `mdmsim call` places them: every row
// of the driver's flow-control tables entered by a real call, hosts that write far faster than
// the line, the hosts' own flow control holding the far side's bytes, and calls the line ends.
#include <gtest/gtest.h>

#include "tests/support/temp_root.h"
#include "tools/mdmsim/call.h"

namespace {

using mdmsim::LineFault;
using mdmsim::RunUsbCall;
using mdmsim::UsbCall;
using mdmsim::UsbCallResult;
using sim::modem::Flow;

std::vector<std::uint8_t> Payload(std::size_t size) {
  return mdmsim::CallPayload(size, 12345);
}

UsbCallResult Call(Flow flow, std::size_t size, bool bothWays = true) {
  UsbCall call;
  call.payload = Payload(size);
  call.flow = flow;
  call.bothWays = bothWays;
  return RunUsbCall(call);
}

std::string Summary(const UsbCallResult& result) {
  return "connected " + std::to_string(result.connected) + ", there " +
         std::to_string(result.there.received) + "/" + std::to_string(result.there.sent) +
         (result.there.intact ? " intact" : " broken") + ", back " +
         std::to_string(result.back.received) + "/" + std::to_string(result.back.sent) +
         (result.back.intact ? " intact" : " broken") + ", hung up " +
         std::to_string(result.hungUp) + ", overruns " + std::to_string(result.overruns) + ", " +
         result.poolReport;
}

// Each kind of flow control puts both directions in its own state once the carrier is up; the
// Offline row serves the command phase before and after. 20 000 bytes each way fill the modems'
// transmit buffers many times over, so the flow control of that state is at work too.
TEST(UsbCallFlow, EveryRowOfTheThreeTablesIsEnteredByARealCall) {
  testing_support::TempRoot root;
  const std::pair<Flow, ULONG> kinds[] = {{Flow::kNone, OnlineNone},
                                          {Flow::kRtsCts, OnlineHardware},
                                          {Flow::kXonXoff, OnlineSoftware},
                                          {Flow::kBoth, OnlineBoth}};
  for (auto [flow, state] : kinds) {
    SCOPED_TRACE(mdmsim::FlowStateName(state));
    UsbCallResult result = Call(flow, 20000);
    EXPECT_TRUE(result.AllGood()) << Summary(result);
    EXPECT_GT(result.flowStops, 0u);  // the hosts wrote faster than the line carries
    for (const FlowCounters& side : {result.callerFlow, result.calledFlow}) {
      for (ULONG row : {ULONG{Offline}, state}) {
        EXPECT_GT(side.updateMsrRows[row], 0u) << mdmsim::FlowStateName(row);
        EXPECT_GT(side.writeRows[row], 0u) << mdmsim::FlowStateName(row);
        EXPECT_GT(side.readRows[row], 0u) << mdmsim::FlowStateName(row);
      }
      // Online once, back offline once the call has ended; no other state in between.
      EXPECT_EQ(side.transmitEntered[state], 1u);
      EXPECT_EQ(side.receiveEntered[state], 1u);
      EXPECT_EQ(side.transmitEntered[Offline], 1u);
      for (ULONG other = OnlineNone; other < kFlowStates; ++other) {
        if (other != state) {
          EXPECT_EQ(side.updateMsrRows[other], 0u);
        }
      }
    }
  }
}

// A mebibyte handed to the COM port at once, both ways, 31 times faster than the line: the flow
// control paces both hosts and not a byte is lost or repeated.
TEST(UsbCallFlow, HostsWritingAMebibyteAtOnceLoseNothing) {
  testing_support::TempRoot root;
  for (Flow flow : {Flow::kRtsCts, Flow::kXonXoff}) {
    UsbCallResult result = Call(flow, 1 << 20);
    EXPECT_TRUE(result.AllGood()) << Summary(result);
    EXPECT_EQ(result.there.received, 1u << 20);
    EXPECT_EQ(result.back.received, 1u << 20);
    EXPECT_GT(result.flowStops, 100u);
    // The line is the only limit: within a few per cent of its rate.
    EXPECT_GT(result.there.Share(33600), 0.98);
    EXPECT_GT(result.back.Share(33600), 0.98);
  }
}

// The receiving host holds the far side's bytes for three seconds, by dropping RTS under
// hardware flow control and by sending XOFF under software flow control; then they all come.
TEST(UsbCallFlow, TheReceivingHostHoldsTheFarSideWithItsOwnFlowControl) {
  testing_support::TempRoot root;
  struct Hold {
    Flow flow;
    std::function<void(HANDLE)> stop, go;
  };
  auto send = [](HANDLE port, std::uint8_t byte) {
    DWORD written = 0;
    WriteFile(port, &byte, 1, &written, nullptr);
  };
  const Hold holds[] = {
      {Flow::kRtsCts, [](HANDLE port) { EscapeCommFunction(port, CLRRTS); },
       [](HANDLE port) { EscapeCommFunction(port, SETRTS); }},
      {Flow::kXonXoff, [&](HANDLE port) { send(port, 0x13); },
       [&](HANDLE port) { send(port, 0x11); }},
  };
  for (const Hold& hold : holds) {
    UsbCall call;
    call.payload = Payload(6000);  // about 1.8 s on the line
    call.flow = hold.flow;
    call.alongside = [&](HANDLE, HANDLE called) {
      hold.stop(called);
      Sleep(3000);
      hold.go(called);
    };
    UsbCallResult result = RunUsbCall(call);
    EXPECT_TRUE(result.AllGood()) << Summary(result);
    EXPECT_GT(result.there.seconds, 3.0);  // nothing came while held
    EXPECT_LT(result.there.seconds, 4.0);
  }
}

// The line drops the call, or noise long enough loses the carrier, in the middle of a transfer
// both ways: each side has the bytes up to the end of the call once and in order (garbled ones in
// their places), both hear NO CARRIER, and the driver stops with nothing left in the pool. Noise
// too short to lose the carrier garbles bytes and the call goes on.
TEST(UsbCallFlow, ACallTheLineEndsEndsCleanlyOnBothSides) {
  testing_support::TempRoot root;
  using std::chrono::milliseconds;
  const LineFault faults[] = {{LineFault::Kind::kDrop, milliseconds(2000), {}},
                              {LineFault::Kind::kNoise, milliseconds(1500), milliseconds(2000)}};
  for (const LineFault& fault : faults) {
    UsbCall call;
    call.payload = Payload(30000);
    call.bothWays = true;
    call.fault = fault;
    UsbCallResult result = RunUsbCall(call);
    EXPECT_TRUE(result.AllGood()) << Summary(result);
    EXPECT_LT(result.there.received, 30000u);
    EXPECT_GT(result.there.received, 3000u);
    EXPECT_LT(result.back.received, 30000u);
  }
  UsbCall noisy;
  noisy.payload = Payload(10000);
  noisy.fault = LineFault{LineFault::Kind::kNoise, milliseconds(500), milliseconds(300)};
  UsbCallResult result = RunUsbCall(noisy);
  EXPECT_TRUE(result.AllGood()) << Summary(result);
  EXPECT_EQ(result.there.received, 10000u);
}

}  // namespace
