// The telnet stream of remote COM ports: data, negotiations and subnegotiations in any chunks,
// escaping both ways, and streams that break the protocol.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/rfc2217.h"
#include "platform/net/telnet.h"

namespace {

using namespace platform::net;

// Everything the reader reports, as one readable text. Data runs that follow each other are
// joined, as the reader reports data per chunk it is fed.
struct Recorder : TelnetSink {
  std::string events;
  bool lastWasData = false;
  void OnData(std::span<const BYTE> bytes) override {
    if (lastWasData) {
      events.pop_back();
    } else {
      events += "data[";
    }
    events += std::string(bytes.begin(), bytes.end()) + "]";
    lastWasData = true;
  }
  void OnNegotiation(BYTE verb, BYTE option) override {
    events += "neg[" + std::to_string(verb) + "," + std::to_string(option) + "]";
    lastWasData = false;
  }
  void OnSubnegotiation(BYTE option, std::span<const BYTE> payload) override {
    events += "sub[" + std::to_string(option) + ":";
    for (BYTE byte : payload) events += std::to_string(byte) + " ";
    events += "]";
    lastWasData = false;
  }
};

std::vector<BYTE> Stream() {
  std::vector<BYTE> out;
  const std::string hello = "at\xff\r";
  AppendData(out, std::vector<BYTE>(hello.begin(), hello.end()));
  AppendNegotiation(out, kWill, kOptionComPort);
  out.insert(out.end(), {kIac, 241});  // NOP: skipped
  AppendSubnegotiation(out, kOptionComPort, rfc2217::WithValue32(rfc2217::kSetBaudRate, 0xFF00));
  AppendData(out, std::vector<BYTE>{'o', 'k'});
  return out;
}

TEST(TelnetReader, FindsTheSameEventsWhateverTheChunks) {
  const std::vector<BYTE> stream = Stream();
  Recorder whole;
  ASSERT_TRUE(TelnetReader().Feed(stream, whole));
  EXPECT_EQ(whole.events, "data[at\xff\r]neg[251,44]sub[44:1 0 0 255 0 ]data[ok]");
  for (std::size_t chunk : {1, 2, 3, 5}) {
    SCOPED_TRACE(chunk);
    Recorder pieces;
    TelnetReader reader;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      std::size_t end = std::min(stream.size(), at + chunk);
      ASSERT_TRUE(reader.Feed(std::span(stream).subspan(at, end - at), pieces));
    }
    EXPECT_EQ(pieces.events, whole.events);
  }
}

TEST(TelnetReader, ABrokenSubnegotiationStopsTheStream) {
  std::vector<BYTE> tooLong{kIac, kSb, kOptionComPort};
  tooLong.insert(tooLong.end(), TelnetReader::kMaxPayload + 1, 'x');
  const std::vector<std::vector<BYTE>> broken{
      tooLong,
      {kIac, kSb, kOptionComPort, 1, kIac,
       'x'},  // IAC in a subnegotiation, then neither IAC nor SE
  };
  for (const auto& stream : broken) {
    Recorder recorder;
    TelnetReader reader;
    EXPECT_FALSE(reader.Feed(stream, recorder));
    EXPECT_TRUE(reader.broken());
    EXPECT_FALSE(reader.Feed(std::vector<BYTE>{'a'}, recorder));  // nothing more is taken
    EXPECT_EQ(recorder.events, "");
  }
  // The longest payload allowed, every byte an escaped IAC, still passes.
  std::vector<BYTE> longest;
  AppendSubnegotiation(longest, kOptionComPort, std::vector<BYTE>(TelnetReader::kMaxPayload, kIac));
  Recorder recorder;
  EXPECT_TRUE(TelnetReader().Feed(longest, recorder));
}

TEST(Rfc2217, ModemStateFlagsEveryChangeAndTheEndOfARing) {
  using namespace rfc2217;
  EXPECT_EQ(ModemStateChange(kModemCts | kModemDsr, kModemCts | kModemDsr), kModemCts | kModemDsr);
  EXPECT_EQ(ModemStateChange(kModemDsr, kModemCts | kModemCd),
            kModemCts | kModemCd | kModemDeltaCts | kModemDeltaDsr | kModemDeltaCd);
  EXPECT_EQ(ModemStateChange(kModemRi, 0), kModemTrailingRi);
  EXPECT_EQ(ModemStateChange(0, kModemRi), kModemRi);  // a ring starting is no trailing edge
}

TEST(Rfc2217, LineSettingsTranslateBothWays) {
  using namespace rfc2217;
  for (BYTE parity = 0; parity <= 4; ++parity)
    EXPECT_EQ(ParityFromWire(ParityToWire(parity)), parity);
  for (BYTE stop = 0; stop <= 2; ++stop) EXPECT_EQ(StopBitsFromWire(StopBitsToWire(stop)), stop);
  EXPECT_EQ(ParityToWire(0), kParityNone);
  EXPECT_EQ(StopBitsToWire(1), kStopOneAndHalf);
  EXPECT_EQ(ParityFromWire(0), std::nullopt);
  EXPECT_EQ(ParityFromWire(6), std::nullopt);
  EXPECT_EQ(StopBitsFromWire(4), std::nullopt);
  std::vector<BYTE> baud = WithValue32(kSetBaudRate, 57600);
  EXPECT_EQ(baud, (std::vector<BYTE>{1, 0, 0, 0xE1, 0x00}));
  EXPECT_EQ(Value32(std::span(baud).subspan(1)), 57600u);
  EXPECT_EQ(Value32(std::span(baud).subspan(2)), std::nullopt);
}

}  // namespace
