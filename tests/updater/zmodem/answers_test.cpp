// Decoding the modem's answers.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "updater/zmodem/zmodem.h"

namespace {

// Answers written out by hand, so that a fault the decoder shares with the sender's encoder or
// its checksum code cannot pass. Hex headers: ZPAD ZPAD ZDLE ZHEX, type and P0..P3 (position
// little-endian) as lowercase hex digits, the CRC-16/XMODEM of those five bytes, CR, LF with the
// top bit set, and XON except after ZACK and ZFIN.
const std::string kZRinit =
    "**\x18"
    "B0100000000aa51\r\x8a\x11";
const std::string kZRinitAtAbcd =  // position 0xABCD
    "**\x18"
    "B01cdab00006d1e\r\x8a\x11";
const std::string kZRposAt200 =  // position 0x200
    "**\x18"
    "B0900020000c61c\r\x8a\x11";
const std::string kZAck =
    "**\x18"
    "B0300000000eed2\r\x8a";
const std::string kZFin =
    "**\x18"
    "B0800000000022d\r\x8a";

// ZACK at position 0x11181300 as a binary CRC-16 header: ZPAD ZDLE ZBIN, then the bytes 03 00 13
// 18 11 with 0x13, 0x18 and 0x11 escaped (ZDLE, byte XOR 0x40), then the CRC 0x7c2b.
const std::string kEscapedBinaryZAck(
    "*\x18"
    "A\x03\x00\x18\x53\x18\x58\x18\x51\x7c\x2b",
    13);

// ZRINIT with P0..P3 = 1, 2, 3, 4 as a CRC-32 header: ZPAD ZDLE ZBIN32, the five bytes, then the
// complement of the IEEE CRC-32 of them (0x6c3afa7c), low byte first.
const std::string kBinary32ZRinit(
    "*\x18"
    "C\x01\x01\x02\x03\x04\x7c\xfa\x3a\x6c",
    12);

int Decode(const std::string& answer) {
  static std::string held;
  held = answer;
  zmodemContext.answer = reinterpret_cast<const BYTE*>(held.data());
  zmodemContext.answerCursor = 0;
  zmodemContext.answerLength = static_cast<LONG>(held.size());
  return DecodeZModemHeader(zmodemContext);
}

TEST(ZModemAnswers, HexHeadersNeedTheirLineEndAndXonWhereItBelongs) {
  std::string zrinit = kZRinit;
  EXPECT_EQ(Decode(zrinit), kGoodHexHeader);
  EXPECT_EQ(zmodemContext.rxHeader[0], ZRINIT);
  EXPECT_EQ(Decode(zrinit.substr(0, 20)), kBadHeader);  // the XON is missing
  EXPECT_EQ(Decode(kZAck), kGoodHexHeader);
  EXPECT_EQ(Decode(kZFin), kGoodHexHeader);
  std::string plainLineFeed = zrinit.substr(0, 18) + "\r\n";
  EXPECT_EQ(Decode(plainLineFeed), kGoodHexHeader);
  EXPECT_EQ(Decode(zrinit.substr(0, 18)), kBadHeader);  // ends with the last CRC digit
}

TEST(ZModemAnswers, TextBeforeTheHeaderIsSkippedUnlessItHoldsAStar) {
  std::string zrpos = kZRposAt200;
  EXPECT_EQ(Decode("rz\r\n" + zrpos), kGoodHexHeader);
  EXPECT_EQ(zmodemContext.rxHeader[2], 0x02);
  EXPECT_EQ(Decode("a*b" + zrpos), kNoHeader);
  EXPECT_EQ(Decode("no header"), kNoHeader);
  EXPECT_EQ(Decode("*" + zrpos), kNoHeader);  // three stars: only the first one is tried
}

TEST(ZModemAnswers, HexDigitsMustBeLowercaseButMayCarryParity) {
  std::string zrinit = kZRinitAtAbcd;
  std::string upper = zrinit;
  for (std::size_t i = 4; i < 18; ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  EXPECT_EQ(Decode(upper), kBadHeader);
  std::string parity = zrinit;
  for (std::size_t i = 4; i < 18; ++i) parity[i] = static_cast<char>(parity[i] | 0x80);
  EXPECT_EQ(Decode(parity), kGoodHexHeader);
  std::string flow = zrinit.substr(0, 6) + "\x11\x13" + zrinit.substr(6);
  EXPECT_EQ(Decode(flow), kGoodHexHeader);
}

TEST(ZModemAnswers, BinaryHeadersUndoEscapesAndCheckTheirCrc) {
  std::string escaped = kEscapedBinaryZAck;
  EXPECT_EQ(Decode(escaped), kGoodBinaryHeader);
  EXPECT_EQ(zmodemContext.rxHeader[3], 0x18);
  std::string broken = escaped;
  broken[3] = static_cast<char>(ZRPOS);
  EXPECT_EQ(Decode(broken), kBadHeader);
  EXPECT_EQ(zmodemContext.rxHeader[0], ZRPOS);  // decoded before the failure, and kept
  EXPECT_EQ(Decode(std::string("*\x18"
                               "A\x18\x18\x18\x18\x18",
                               8)),
            kBadHeader);  // cancel
}

TEST(ZModemAnswers, Crc32HeadersCheckAgainstTheResidue) {
  std::string header = kBinary32ZRinit;
  EXPECT_EQ(Decode(header), kGoodBinary32Header);
  for (std::size_t i = 3; i < header.size(); ++i) {
    std::string changed = header;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_EQ(Decode(changed), kBadHeader) << "byte " << i;
  }
}

TEST(ZModemAnswers, FailedDecodeBeforeTheHeaderLeavesRxHeaderAlone) {
  Decode(kZFin);
  EXPECT_EQ(Decode("**\x18"
                   "Bzz"),
            kBadHeader);
  EXPECT_EQ(zmodemContext.rxHeader[0], ZFIN);
}

TEST(ZModemAnswers, NextAnswerByteNeverReadsPastTheAnswer) {
  zmodemContext.answer = nullptr;
  EXPECT_EQ(NextAnswerByte(zmodemContext), -2);
  const BYTE one[] = {0x41};
  zmodemContext.answer = one;
  zmodemContext.answerCursor = 0;
  zmodemContext.answerLength = 1;
  EXPECT_EQ(NextAnswerByte(zmodemContext), 0x41);
  EXPECT_EQ(NextAnswerByte(zmodemContext), -2);
}

}  // namespace
