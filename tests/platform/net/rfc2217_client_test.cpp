// The client end of a remote COM port: its negotiation with servers that greet first or only
// answer, refusals, and the server's answers and notifications as the port learns them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/rfc2217_client.h"

namespace {

using namespace platform::net;
using namespace platform::net::rfc2217;

struct Learned : ClientSink {
  std::vector<BYTE> data;
  std::vector<std::pair<Slot, std::uint32_t>> answers;
  std::vector<BYTE> modemStates;
  std::vector<BYTE> lineStates;
  void OnData(std::span<const BYTE> bytes) override {
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  void OnAnswer(Slot slot, std::uint32_t value) override { answers.emplace_back(slot, value); }
  void OnModemState(BYTE lines) override { modemStates.push_back(lines); }
  void OnLineState(BYTE state) override { lineStates.push_back(state); }
};

std::vector<BYTE> Negotiations(std::initializer_list<std::pair<BYTE, BYTE>> pairs) {
  std::vector<BYTE> out;
  for (auto [verb, option] : pairs) AppendNegotiation(out, verb, option);
  return out;
}

TEST(Rfc2217Client, ComesToTermsWithAServerThatGreetsFirstAndOneThatOnlyAnswers) {
  // A server that sends its own wishes as the client's greeting crosses them: the client
  // answers only what it did not ask itself, and refuses echo.
  ClientStream crossing;
  std::vector<BYTE> greeting;
  crossing.Greet(greeting);
  Learned learned;
  std::vector<BYTE> replies;
  auto wishes = Negotiations({{kWill, kOptionSuppressGoAhead},
                              {kDo, kOptionSuppressGoAhead},
                              {kWill, kOptionEcho},
                              {kDont, kOptionEcho},
                              {kDo, kOptionBinary},
                              {kWill, kOptionBinary},
                              {kDo, kOptionComPort}});
  ASSERT_TRUE(crossing.Feed(wishes, learned, replies));
  EXPECT_TRUE(crossing.Ready());
  EXPECT_FALSE(crossing.Refused());
  EXPECT_EQ(replies, Negotiations({{kDont, kOptionEcho}}));

  // A server that answers each request once: nothing more to say.
  ClientStream answered;
  greeting.clear();
  answered.Greet(greeting);
  replies.clear();
  auto answers = Negotiations({{kDo, kOptionComPort},
                               {kDo, kOptionBinary},
                               {kWill, kOptionBinary},
                               {kDo, kOptionSuppressGoAhead},
                               {kWill, kOptionSuppressGoAhead}});
  ASSERT_TRUE(answered.Feed(answers, learned, replies));
  EXPECT_TRUE(answered.Ready());
  EXPECT_TRUE(replies.empty());
  // The same wishes again change nothing and get no answer.
  ASSERT_TRUE(answered.Feed(answers, learned, replies));
  EXPECT_TRUE(replies.empty());
}

TEST(Rfc2217Client, ARefusedComPortOptionOrBinaryStreamIsARefusal) {
  for (auto refusal : {std::pair{kDont, kOptionComPort}, std::pair{kWont, kOptionBinary},
                       std::pair{kDont, kOptionBinary}}) {
    ClientStream stream;
    std::vector<BYTE> out;
    stream.Greet(out);
    Learned learned;
    ASSERT_TRUE(stream.Feed(Negotiations({refusal}), learned, out));
    EXPECT_TRUE(stream.Refused()) << int{refusal.first} << " " << int{refusal.second};
    EXPECT_FALSE(stream.Ready());
  }
  // Go-aheads refused are no loss.
  ClientStream stream;
  std::vector<BYTE> out;
  stream.Greet(out);
  Learned learned;
  ASSERT_TRUE(stream.Feed(Negotiations({{kDont, kOptionSuppressGoAhead}}), learned, out));
  EXPECT_FALSE(stream.Refused());
  // An option the client does not know is refused; a server asking again is answered again.
  std::vector<BYTE> replies;
  ASSERT_TRUE(stream.Feed(Negotiations({{kDo, 24}, {kWill, 24}}), learned, replies));
  EXPECT_EQ(replies, Negotiations({{kWont, 24}, {kDont, 24}}));
}

TEST(Rfc2217Client, AnswersAndNotificationsReachThePortAndMalformedOnesDoNot) {
  ClientStream stream;
  std::vector<BYTE> out;
  stream.Greet(out);
  std::vector<BYTE> in;
  auto answer = [&](std::vector<BYTE> payload) {
    payload[0] = static_cast<BYTE>(payload[0] + kServerOffset);
    AppendSubnegotiation(in, kOptionComPort, payload);
  };
  answer(WithValue32(kSetBaudRate, 56000));
  answer({kSetControl, kControlInboundNone});
  answer({kSetControl, kControlDtrOff});
  answer({kSetDataSize, 7});
  answer({kNotifyModemState, kModemDsr | kModemCts | kModemDeltaDsr});
  answer({kNotifyLineState, kLineBreak});
  answer({kSetBaudRate, 0, 1});                                                // too short a rate
  answer({kSetParity});                                                        // no value
  answer({kSetParity, 1, 2});                                                  // two values
  AppendSubnegotiation(in, kOptionComPort, std::vector<BYTE>{kSetParity, 1});  // a client's
  AppendData(in, std::vector<BYTE>{'o', 0xFF, 'k'});
  Learned learned;
  ASSERT_TRUE(stream.Feed(in, learned, out));
  using A = std::pair<Slot, std::uint32_t>;
  EXPECT_EQ(learned.answers, (std::vector<A>{{Slot::kRate, 56000},
                                             {Slot::kInboundFlow, kControlInboundNone},
                                             {Slot::kDtr, kControlDtrOff},
                                             {Slot::kDataSize, 7}}));
  EXPECT_EQ(learned.modemStates, std::vector<BYTE>{kModemDsr | kModemCts});
  EXPECT_EQ(learned.lineStates, std::vector<BYTE>{kLineBreak});
  EXPECT_EQ(learned.data, (std::vector<BYTE>{'o', 0xFF, 'k'}));
}

}  // namespace
