// The faults a test can switch on in the modem's receiver: each at each step of a transfer, and
// nothing else of the transfer changes.
#include <gtest/gtest.h>

#include "tests/sim/modem/zmodem_download.h"

namespace {

using namespace zmodem_test;
using sim::modem::Behaviour;
using sim::modem::ZmodemBehaviour;
using sim::modem::ZmodemStep;

const Bytes kImage = [] {
  Bytes image(1000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  return image;
}();

// The answering steps of the transfer of kImage (two blocks), in the order of its script.
const std::vector<ZmodemStep> kSteps = {
    {ZmodemStep::kZrinit},  {ZmodemStep::kZrpos},     {ZmodemStep::kZack, 1},
    {ZmodemStep::kZack, 2}, {ZmodemStep::kEofZrinit}, {ZmodemStep::kZfin},
};
const std::vector<std::pair<std::uint8_t, std::uint32_t>> kHeaders = {
    {kZrinit, 0x23000000}, {kZrpos, 0},           {kZack, 512},
    {kZack, 1000},         {kZrinit, 0x23000000}, {kZfin, 0},
};

struct Fault {
  std::string name;
  ZmodemStep ZmodemBehaviour::*at;
  Bytes (*answer)(std::uint8_t type, std::uint32_t position);
};

const std::vector<Fault> kFaults = {
    {"silent", &ZmodemBehaviour::silentAt, [](std::uint8_t, std::uint32_t) { return Bytes{}; }},
    {"wrong type", &ZmodemBehaviour::wrongTypeAt,
     [](std::uint8_t, std::uint32_t position) { return Answer(kZnak, position); }},
    {"bad CRC", &ZmodemBehaviour::badCrcAt,
     [](std::uint8_t type, std::uint32_t position) {
       return HexHeader(type, position, {.badCrc = true, .xon = type != kZfin});
     }},
    {"binary header", &ZmodemBehaviour::binaryHeaderAt,
     [](std::uint8_t type, std::uint32_t position) { return BinaryHeader(type, position); }},
    {"uppercase hex", &ZmodemBehaviour::uppercaseHexAt,
     [](std::uint8_t type, std::uint32_t position) {
       return HexHeader(type, position, {.uppercase = true, .xon = type != kZfin});
     }},
};

TEST(ZmodemFaults, EachFaultChangesTheAnswerAtItsStepOnly) {
  for (const Fault& fault : kFaults) {
    for (std::size_t step = 0; step < kSteps.size(); ++step) {
      SCOPED_TRACE(fault.name + " at answer " + std::to_string(step));
      Behaviour behaviour;
      behaviour.zmodem.*fault.at = kSteps[step];
      auto script = Transfer(kImage);
      auto [type, position] = kHeaders[step];
      script[step].answer = fault.answer(type, position);
      Download modem(behaviour);
      modem.Run(script);
      EXPECT_EQ(modem.Flash(), kImage);
    }
  }
}

TEST(ZmodemFaults, AZackFaultWithoutANumberHitsEveryZack) {
  auto script = Transfer(kImage);
  script[2].answer = script[3].answer = {};
  Download modem(Behaviour{.zmodem = {.silentAt = {ZmodemStep::kZack}}});
  modem.Run(script);
}

TEST(ZmodemFaults, TheFinalReplyCanFailOrStayAway) {
  auto script = Transfer(kImage);
  script.back().answer = Text(kError);
  Download failing(Behaviour{.zmodem = {.flashCheckFails = true}});
  failing.Run(script);
  EXPECT_EQ(failing.Flash(), kImage);  // the image arrived; only the check says otherwise

  script.back().answer = {};
  Download mute(Behaviour{.zmodem = {.silentAt = {ZmodemStep::kFinalReply}}});
  mute.Run(script);
  EXPECT_EQ(mute.firmware.zmodem().lastFlashCheck(), true);
}

// A modem whose faults hold for its first two transfers fails them and takes the third.
TEST(ZmodemFaults, FaultsCanBeLimitedToTheFirstTransfers) {
  auto failing = Transfer(kImage);
  failing.back().answer = Text(kError);
  Download modem(Behaviour{.zmodem = {.flashCheckFails = true, .faultyTransfers = 2}});
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE("transfer " + std::to_string(attempt));
    if (attempt > 1) modem.Send(Text("rz\r\n"));
    modem.Run(attempt < 3 ? failing : Transfer(kImage));
  }
  EXPECT_EQ(modem.firmware.zmodem().lastFlashCheck(), true);
}

// ZRPOS may name another position; a sender that starts from 0 all the same still fills the
// flash right, since data goes where ZDATA says.
TEST(ZmodemFaults, ZrposCanNameAnotherPosition) {
  auto script = Transfer(kImage);
  script[1].answer = Answer(kZrpos, 0x1234);
  Download modem(Behaviour{.zmodem = {.zrposPosition = 0x1234}});
  modem.Run(script);
  EXPECT_EQ(modem.Flash(), kImage);
}

TEST(ZmodemFaults, ASilentModemReceivesButSaysNothing) {
  Download modem(Behaviour{.silent = true});
  for (const auto& exchange : Transfer(kImage)) EXPECT_TRUE(modem.Ask(exchange.frame).empty());
  EXPECT_EQ(modem.Flash(), kImage);
}

}  // namespace
