// The modem's ZModem receiver against frames built apart from it: the answers byte for byte,
// the flash content, and the ways a transfer ends.
#include <gtest/gtest.h>

#include <random>

#include "sim/modem/crc.h"
#include "tests/sim/modem/zmodem_download.h"

namespace {

using namespace std::chrono_literals;
using namespace zmodem_test;
using sim::modem::Behaviour;
using sim::modem::ZmodemState;

Bytes Image(std::size_t size, unsigned seed = 7) {
  std::mt19937 random(seed);
  Bytes image(size);
  for (auto& byte : image) byte = static_cast<std::uint8_t>(random());
  return image;
}

TEST(ZmodemCrc, TablesGiveTheCheckValues) {
  std::uint16_t crc16 = 0;
  std::uint32_t crc32 = 0xFFFFFFFF;
  for (char c : std::string("123456789")) {
    crc16 = sim::modem::Crc16Step(crc16, static_cast<std::uint8_t>(c));
    crc32 = sim::modem::Crc32Step(crc32, static_cast<std::uint8_t>(c));
  }
  EXPECT_EQ(crc16, 0x31C3);
  EXPECT_EQ(~crc32, 0xCBF43926u);
}

TEST(ZmodemReceiver, AnswersTheTransferOfASixHundredByteImageByteForByte) {
  Download modem;
  Bytes image = Image(600);
  auto script = Transfer(image, "modem.bin");
  // The answers as they are on the line, independent of the test's encoder.
  EXPECT_EQ(String(script[0].answer), std::string("**\x18"
                                                  "B0100000023be50\r\x8a\x11"));
  EXPECT_EQ(String(script[2].answer), std::string("**\x18"
                                                  "B0300020000") +
                                          "80b2\r\x8a\x11");
  EXPECT_EQ(String(script[5].answer), std::string("**\x18"
                                                  "B0800000000022d\r\x8a"));
  modem.Run(script);

  EXPECT_EQ(modem.Flash(), image);
  const auto& file = modem.firmware.flash().file();
  EXPECT_EQ(file.name, "modem.bin");
  EXPECT_EQ(file.size, 600u);
  EXPECT_EQ(file.mtime, 014727175400u);
  EXPECT_EQ(file.mode, 0100666u);
  EXPECT_EQ(modem.firmware.zmodem().lastFlashCheck(), true);
  EXPECT_EQ(modem.firmware.zmodem().state(), ZmodemState::kWaitingForRz);
}

TEST(ZmodemReceiver, AnswersComeAfterTheirDelayAndTheFinalReplyAfterTheFlashCheck) {
  Download quick;
  auto script = Transfer(Image(10));
  for (std::size_t i = 0; i + 1 < script.size(); ++i) {
    auto out = quick.Send(script[i].frame);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].after, 0ms);
  }
  auto reply = quick.Send(script.back().frame);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].after, 1500ms);

  Download slow(Behaviour{.zmodem = {.answerDelay = 30ms, .flashCheckTime = 4s}});
  EXPECT_EQ(slow.Send(script[0].frame).at(0).after, 30ms);
  for (std::size_t i = 1; i + 1 < script.size(); ++i) slow.Send(script[i].frame);
  EXPECT_EQ(slow.Send(script.back().frame).at(0).after, 4030ms);
}

// Every image arrives intact whatever the sizes of the pieces the line delivers: one frame at
// once, single bytes, and the 62 bytes of a USB data packet.
TEST(ZmodemReceiver, ImagesArriveIntactInPiecesOfAnySize) {
  Bytes allValues(512);
  for (std::size_t i = 0; i < allValues.size(); ++i) allValues[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::pair<std::string, Bytes>> images = {
      {"1 byte", Image(1)},
      {"512 bytes", Image(512)},
      {"513 bytes", Image(513)},
      {"70000 bytes", Image(70000)},
      {"512 x 0x18", Bytes(512, 0x18)},
      {"512 x 0x11", Bytes(512, 0x11)},
      {"every value", allValues},
  };
  for (std::size_t piece : {0, 1, 62}) {
    for (const auto& [name, image] : images) {
      SCOPED_TRACE(name + " in pieces of " + std::to_string(piece));
      Download modem;
      modem.Run(Transfer(image), piece);
      EXPECT_EQ(modem.Flash(), image);
    }
  }
}

// What the sender may do that the update's sender does not: frames that go on after a
// subpacket, CRC-32 frames, ZRUB escapes, escaped controls, flow control between bytes, hex
// digits with the top bit set.
TEST(ZmodemReceiver, TakesEverySubpacketEndAndEveryEncodingOfTheProtocol) {
  Download modem;
  Bytes image = Image(1000);
  Bytes part1(image.begin(), image.begin() + 300), part2(image.begin() + 300, image.begin() + 600),
      part3(image.begin() + 600, image.begin() + 800), part4(image.begin() + 800, image.end());
  Bytes zrqinit = HexHeader(kZrqinit, 0);
  for (std::size_t i = 4; i < 18; ++i) zrqinit[i] |= 0x80;
  zrqinit.insert(zrqinit.begin() + 9, {0x11, 0x93});
  EXPECT_EQ(String(modem.Ask(zrqinit)), String(Answer(kZrinit, 0x23000000)));
  EXPECT_EQ(String(modem.Ask(ZfileFrame("f", 1000))), String(Answer(kZrpos, 0)));

  // ZCRCG goes on unanswered, ZCRCQ is acknowledged and goes on, ZCRCE ends the frame.
  Bytes frame = BinaryHeader(kZdata, 0) + Subpacket(part1, kZcrcg) + Subpacket(part2, kZcrcq) +
                Subpacket(part3, kZcrce);
  EXPECT_EQ(String(modem.Ask(frame)), String(Answer(kZack, 600)));
  Escaping all{.controls = true, .rubs = true};
  Bytes header = BinaryHeader(kZdata, 800, true);
  Bytes crc32Frame = header + Bytes{0x13, 0x91} +  // flow control from the line, not data
                     Subpacket(part4, kZcrcw, {.crc32 = true, .escaping = all});
  EXPECT_EQ(String(modem.Ask(crc32Frame)), String(Answer(kZack, 1000)));
  EXPECT_EQ(String(modem.Ask(BinaryHeader(kZeof, 1000, true))),
            String(Answer(kZrinit, 0x23000000)));
  EXPECT_EQ(modem.Flash(), image);
}

TEST(ZmodemReceiver, LostOrMissingDataFailsTheFlashCheck) {
  Bytes image = Image(1024);
  Bytes first(image.begin(), image.begin() + 512), second(image.begin() + 512, image.end());
  auto start = [&](Download& modem, std::size_t size) {
    modem.Ask(HexHeader(kZrqinit, 0));
    modem.Ask(ZfileFrame("f", size));
  };
  auto finish = [](Download& modem, std::uint32_t end) {
    EXPECT_EQ(String(modem.Ask(BinaryHeader(kZeof, end))), String(Answer(kZrinit, 0x23000000)));
    modem.Ask(HexHeader(kZfin, 0, {.xon = false}));
    return String(modem.Ask(Text("OO")));
  };

  // A garbled subpacket is asked for again from the last good position.
  Download garbled;
  start(garbled, 1024);
  garbled.Ask(ZdataFrame(0, first));
  Bytes bad = BinaryHeader(kZdata, 512) + Subpacket(second, kZcrcw, {.badCrc = true});
  EXPECT_EQ(String(garbled.Ask(bad)), String(Answer(kZrpos, 512)));
  garbled.Ask(ZdataFrame(512, second));  // a resend does not make up for the loss
  EXPECT_EQ(finish(garbled, 1024), kError);

  Download overlong;  // more than the protocol's 1024 bytes in one subpacket
  start(overlong, 1025);
  EXPECT_EQ(String(overlong.Ask(ZdataFrame(0, Image(1025)))), String(Answer(kZrpos, 0)));
  EXPECT_TRUE(overlong.Flash().empty());

  Download shorter;  // ZFILE announced more than came
  start(shorter, 1025);
  shorter.Ask(ZdataFrame(0, first));
  shorter.Ask(ZdataFrame(512, second));
  EXPECT_EQ(finish(shorter, 1024), kError);
  EXPECT_EQ(shorter.Flash(), image);

  Download gap;  // a block that skips ahead leaves a hole: it is not written
  start(gap, 1024);
  EXPECT_EQ(String(gap.Ask(ZdataFrame(512, second))), String(Answer(kZack, 1024)));
  EXPECT_EQ(finish(gap, 1024), kError);
  EXPECT_TRUE(gap.Flash().empty());

  Download early;  // a ZEOF short of the data received is ignored: more data would come
  start(early, 1024);
  early.Ask(ZdataFrame(0, first));
  EXPECT_TRUE(early.Ask(BinaryHeader(kZeof, 1024)).empty());
  early.Ask(ZdataFrame(512, second));
  EXPECT_EQ(finish(early, 1024), kOk);
}

TEST(ZmodemReceiver, HeadersItCannotReadGetNoAnswer) {
  Download modem;
  EXPECT_TRUE(modem.Ask(HexHeader(kZrqinit, 0, {.badCrc = true})).empty());
  EXPECT_TRUE(modem.Ask(HexHeader(kZrqinit, 0xABCDEF, {.uppercase = true})).empty());
  Bytes cut = HexHeader(kZrqinit, 0);
  cut[10] = '\r';
  EXPECT_TRUE(modem.Ask(cut).empty());
  EXPECT_TRUE(modem.Ask(ZdataFrame(0, Image(16))).empty());  // no ZFILE yet: not written
  EXPECT_EQ(String(modem.Ask(HexHeader(kZrqinit, 0))), String(Answer(kZrinit, 0x23000000)));
  EXPECT_TRUE(modem.Flash().empty());
}

TEST(ZmodemReceiver, NothingIsReceivedBeforeRzAndTextBeforeItIsPassedOver) {
  Download modem({}, false);
  EXPECT_TRUE(modem.Ask(HexHeader(kZrqinit, 0)).empty());
  EXPECT_EQ(modem.firmware.zmodem().state(), ZmodemState::kWaitingForRz);
  modem.Send(Text("rrz\r\n"));
  EXPECT_EQ(String(modem.Ask(HexHeader(kZrqinit, 0))), String(Answer(kZrinit, 0x23000000)));
}

// ZABORT, ZFERR or five CAN leave the transfer without a word; after a DTR pulse the next
// download starts over with an erased flash.
TEST(ZmodemReceiver, AnAbortedTransferIsLeftAndTheNextDownloadStartsAfresh) {
  const std::vector<std::pair<std::string, Bytes>> aborts = {
      {"ZABORT", HexHeader(kZabort, 0)},
      {"ZFERR", HexHeader(12, 0)},
      {"five CAN", Bytes(5, 0x18)},
  };
  Bytes old = Image(700, 1), fresh = Image(600, 2);
  for (const auto& [name, abort] : aborts) {
    SCOPED_TRACE(name);
    Download modem;
    auto script = Transfer(old);
    for (std::size_t i = 0; i < 3; ++i) modem.Ask(script[i].frame);
    EXPECT_TRUE(modem.Ask(abort).empty());
    EXPECT_EQ(modem.firmware.zmodem().state(), ZmodemState::kWaitingForRz);
    EXPECT_TRUE(modem.Ask(script[3].frame).empty());
    EXPECT_EQ(modem.Flash(), Bytes(old.begin(), old.begin() + 512));

    modem.firmware.Reset();  // DTR pulse
    EXPECT_EQ(String(modem.Ask(Text("x"))), "x>>>");
    modem.Send(Text("rz\r\n"));
    EXPECT_TRUE(modem.Flash().empty());
    modem.Run(Transfer(fresh, "new.bin"));
    EXPECT_EQ(modem.Flash(), fresh);
    EXPECT_EQ(modem.firmware.flash().file().name, "new.bin");
  }
}

TEST(ZmodemReceiver, ADtrDropInTheMiddleLeavesTheTransfer) {
  Download modem;
  Bytes image = Image(1024);
  auto script = Transfer(image);
  for (std::size_t i = 0; i < 3; ++i) modem.Ask(script[i].frame);
  modem.firmware.Reset();
  modem.Send(Text("x"));
  EXPECT_TRUE(modem.Ask(script[3].frame).empty());  // "rz" has not come again
  EXPECT_EQ(modem.Flash(), Bytes(image.begin(), image.begin() + 512));
}

}  // namespace
