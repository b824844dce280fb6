// Calls between modems on the phone line, firmware to firmware in virtual time: ringing and
// answering, the line rate, the escape and its guard times, busy, no answer, hang-up and the
// line's faults.
#include <gtest/gtest.h>

#include <string>

#include "tests/sim/modem/line_pair.h"

namespace {

using namespace std::chrono_literals;
using sim::modem::CallState;
using sim::modem::Mode;
using testing_support::LinePair;

std::string Pattern(std::size_t count, std::uint8_t seed) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>(seed + i * 7));
  return bytes;
}

using ModemCall = LinePair;

TEST_F(ModemCall, TheCalleeRingsEverySixSecondsAndAnswersAfterS0Rings) {
  b.Type("ATS0=2\r");
  b.Take();
  a.Type("ATDT 2\r");
  a.Take();
  RunFor(1900ms);
  EXPECT_EQ(b.heard, "");
  RunFor(200ms);  // 2.1 s: the dial time has passed
  EXPECT_EQ(b.Take(), "\r\nRING\r\n");
  EXPECT_TRUE(b.firmware.lineState().ring);
  RunFor(2s);  // 4.1 s: between rings the indicator is off
  EXPECT_FALSE(b.firmware.lineState().ring);
  EXPECT_EQ(b.heard, "");
  RunFor(3900ms);  // 8 s: second ring, answered; the handshake takes three seconds
  EXPECT_EQ(b.Take(), "\r\nRING\r\n");
  EXPECT_EQ(b.firmware.callState(), CallState::kAnswering);
  RunFor(2900ms);
  EXPECT_EQ(a.heard, "");
  EXPECT_FALSE(a.firmware.lineState().dcd);
  RunFor(200ms);
  EXPECT_EQ(a.Take(), "\r\nCONNECT 33600\r\n");
  EXPECT_EQ(b.Take(), "\r\nCONNECT 33600\r\n");
  for (auto* side : {&a, &b}) {
    EXPECT_TRUE(side->firmware.lineState().dcd);
    EXPECT_EQ(side->firmware.mode(), Mode::kOnline);
  }
}

TEST_F(ModemCall, AtaAnswersARingingModemAndNumericCodesAreUsedInACall) {
  a.Type("ATE0V0\r");
  b.Type("ATE0V0\r");
  a.Take();
  b.Take();
  a.Type("ATD2\r");
  RunFor(2500ms);
  EXPECT_EQ(b.Take(), "2\r");
  b.Type("ATA\r");
  RunFor(3s);
  EXPECT_EQ(a.Take(), "1\r");
  EXPECT_EQ(b.Take(), "1\r");
}

TEST_F(ModemCall, BytesCrossBothWaysAtTheLineRate) {
  Connect();
  // 336 bytes take 100 ms at 33600 bit/s, ten bits a byte, in each direction at once.
  std::string there = Pattern(336, 1);
  std::string back = Pattern(336, 2);
  a.Type(there);
  b.Type(back);
  RunFor(50ms);
  EXPECT_EQ(b.heard.size(), 168u);
  EXPECT_EQ(a.heard.size(), 168u);
  RunFor(49ms);
  EXPECT_LT(b.heard.size(), 336u);
  RunFor(1ms);
  EXPECT_EQ(b.heard, there);
  EXPECT_EQ(a.heard, back);
}

TEST_F(ModemCall, TheEscapeNeedsAGuardTimeOfSilenceBeforeAndAfter) {
  Connect();
  a.Type("+++");  // too soon after CONNECT: data
  RunFor(2s);
  EXPECT_EQ(a.heard, "");
  EXPECT_EQ(b.Take(), "+++");
  a.Type("+++x");  // a byte after the third: data
  RunFor(2s);
  EXPECT_EQ(a.heard, "");
  a.Type("++");
  RunFor(1500ms);
  a.Type("+");  // too long after the others
  RunFor(2s);
  EXPECT_EQ(a.heard, "");
  EXPECT_EQ(a.firmware.mode(), Mode::kOnline);
  EXPECT_EQ(b.Take(), "+++x+++");

  a.Type("+++");
  RunFor(990ms);
  EXPECT_EQ(a.heard, "");
  RunFor(20ms);
  EXPECT_EQ(a.Take(), "\r\nOK\r\n");
  EXPECT_EQ(a.firmware.mode(), Mode::kCommand);
  EXPECT_EQ(a.firmware.callState(), sim::modem::CallState::kConnected);
  EXPECT_TRUE(a.firmware.lineState().dcd);
  EXPECT_EQ(b.Take(), "+++");  // the far side sees them as data

  // In command mode the far side's bytes wait; ATO goes back online and they come.
  b.Type("held");
  RunFor(100ms);
  EXPECT_EQ(a.heard, "");
  a.Type("ATO\r");
  EXPECT_EQ(a.Take(), "ATO\r\r\nCONNECT 33600\r\nheld");
}

TEST_F(ModemCall, S12SetsTheGuardTime) {
  a.Type("ATS12=25\r");
  Connect();
  RunFor(600ms);
  a.Type("+++");
  RunFor(490ms);
  EXPECT_EQ(a.heard, "");
  RunFor(20ms);
  EXPECT_EQ(a.Take(), "\r\nOK\r\n");
}

TEST_F(ModemCall, HangingUpGivesNoCarrierOnTheFarSide) {
  Connect();
  RunFor(1100ms);
  a.Type("+++");
  RunFor(1100ms);
  a.Type("ATH\r");
  EXPECT_EQ(a.Take(), "\r\nOK\r\nATH\r\r\nOK\r\n");
  EXPECT_FALSE(a.firmware.lineState().dcd);
  RunFor(1ms);
  EXPECT_EQ(b.Take(), "+++\r\nNO CARRIER\r\n");
  EXPECT_FALSE(b.firmware.lineState().dcd);
  EXPECT_EQ(b.firmware.mode(), Mode::kCommand);
  // Both are free again.
  b.Type("ATD1\r");
  RunFor(2100ms);
  EXPECT_EQ(a.Take(), "\r\nRING\r\n");
}

TEST_F(ModemCall, DtrDropHangsUp) {
  Connect();
  a.firmware.Reset();
  RunFor(1ms);
  EXPECT_EQ(b.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(a.firmware.callState(), CallState::kIdle);
}

TEST_F(ModemCall, ABusyNumberAnUnknownOneAndNoAnswer) {
  Connect();
  c.Type("ATD2\r");
  c.Take();
  RunFor(2100ms);
  EXPECT_EQ(c.Take(), "\r\nBUSY\r\n");
  EXPECT_EQ(c.firmware.callState(), CallState::kIdle);
  EXPECT_EQ(b.heard, "");  // the call in progress does not notice

  c.Type("ATD99\r");
  c.Take();
  RunFor(2100ms);
  EXPECT_EQ(c.Take(), "\r\nNO CARRIER\r\n");

  // Modem 1 leaves its call; it rings but nobody answers before S7 runs out.
  a.firmware.Reset();
  c.Type("ATS7=19D1\r");
  RunFor(18s);
  EXPECT_EQ(a.Take(), "\r\nRING\r\n\r\nRING\r\n\r\nRING\r\n");  // at 2, 8 and 14 s
  EXPECT_EQ(c.Take(), "ATS7=19D1\r");
  RunFor(1100ms);
  EXPECT_EQ(c.Take(), "\r\nNO ANSWER\r\n");
  RunFor(10s);  // the ringing stops without a word
  EXPECT_EQ(a.heard, "");
  EXPECT_EQ(a.firmware.callState(), CallState::kIdle);
}

TEST_F(ModemCall, AModemThatLeavesTheLineHangsUp) {
  Connect();
  a.firmware = sim::modem::Firmware();
  RunFor(1ms);
  EXPECT_EQ(b.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(b.firmware.lineState().dcd);
}

TEST_F(ModemCall, AKeyWhileDiallingAbandonsTheCall) {
  a.Type("ATD2\r");
  RunFor(3s);
  b.Take();
  a.Take();
  a.Type("x");
  EXPECT_EQ(a.Take(), "\r\nNO CARRIER\r\n");
  RunFor(7s);
  EXPECT_EQ(b.heard, "");  // the ringing stopped
  EXPECT_EQ(b.firmware.callState(), CallState::kIdle);
}

TEST_F(ModemCall, ADroppedLineEndsTheCallOnBothSidesAndLosesWhatWasOnIt) {
  Connect();
  std::string there = Pattern(336, 3);
  a.Type(there);
  line->DropAt("1", time.clock().Now() + 50ms);
  RunFor(200ms);
  EXPECT_EQ(a.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(b.Take(), there.substr(0, 168) + "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(a.firmware.lineState().dcd);
  EXPECT_FALSE(b.firmware.lineState().dcd);
}

TEST_F(ModemCall, NoiseGarblesBytesAndLongNoiseLosesTheCarrier) {
  Connect();
  std::string there = Pattern(336, 4);
  a.Type(there);
  line->NoiseAt("2", time.clock().Now() + 50ms, 10ms);
  RunFor(200ms);
  ASSERT_EQ(b.heard.size(), there.size());
  std::size_t garbled = 0;
  for (std::size_t i = 0; i < there.size(); ++i) garbled += b.heard[i] != there[i];
  EXPECT_NEAR(static_cast<double>(garbled), 34, 1);  // 10 ms at 33600 bit/s
  EXPECT_TRUE(b.firmware.lineState().dcd);
  b.Take();

  line->NoiseAt("2", time.clock().Now() + 100ms, 3s);
  RunFor(1400ms);
  EXPECT_EQ(a.heard, "");
  RunFor(100ms);
  EXPECT_EQ(a.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(b.Take(), "\r\nNO CARRIER\r\n");
}

TEST_F(ModemCall, TheSlowerSideSetsTheRate) {
  line->SetRate("2", 9600);
  Connect("CONNECT 9600");
  a.Type(Pattern(96, 5));  // 100 ms at 9600 bit/s
  RunFor(99ms);
  EXPECT_EQ(b.heard.size(), 95u);
  RunFor(1ms);
  EXPECT_EQ(b.heard.size(), 96u);
}

}  // namespace
