// Decoding the modem's answers.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "updater/zmodem/zmodem.h"

namespace {

// Builds answers with the sender's own frame code where the form is one it sends.
std::string HexHeader(BYTE type, LONG position = 0) {
  ResetZModemContext();
  zmodemContext.txHeader[0] = type;
  SetHeaderPosition(position, zmodemContext.txHeader);
  SendHexHeader(zmodemContext);
  return std::string(reinterpret_cast<const char*>(zmodemContext.frame),
                     static_cast<size_t>(zmodemContext.frameLength));
}

std::string BinaryHeader(BYTE type, LONG position = 0) {
  ResetZModemContext();
  zmodemContext.txHeader[0] = type;
  SetHeaderPosition(position, zmodemContext.txHeader);
  SendBinaryHeader(zmodemContext);
  return std::string(reinterpret_cast<const char*>(zmodemContext.frame),
                     static_cast<size_t>(zmodemContext.frameLength));
}

// A CRC-32 header as the published rules build it: the CRC's complement, low byte first.
std::string Binary32Header(BYTE type) {
  BYTE header[kHeaderLength] = {type, 1, 2, 3, 4};
  DWORD crc = 0xFFFFFFFF;
  for (BYTE byte : header) crc = Crc32Update(byte, crc);
  crc = ~crc;
  std::string text =
      "*\x18"
      "C";
  for (BYTE byte : header) text += static_cast<char>(byte);
  for (int i = 0; i < 4; ++i) text += static_cast<char>((crc >> (8 * i)) & 0xFF);
  return text;
}

int Decode(const std::string& answer) {
  static std::string held;
  held = answer;
  zmodemContext.answer = reinterpret_cast<const BYTE*>(held.data());
  zmodemContext.answerCursor = 0;
  zmodemContext.answerLength = static_cast<LONG>(held.size());
  return DecodeZModemHeader(zmodemContext);
}

TEST(ZModemAnswers, HexHeadersNeedTheirLineEndAndXonWhereItBelongs) {
  std::string zrinit = HexHeader(ZRINIT);
  EXPECT_EQ(Decode(zrinit), kGoodHexHeader);
  EXPECT_EQ(zmodemContext.rxHeader[0], ZRINIT);
  EXPECT_EQ(Decode(zrinit.substr(0, 20)), kBadHeader);  // the XON is missing
  EXPECT_EQ(Decode(HexHeader(ZACK)), kGoodHexHeader);
  EXPECT_EQ(Decode(HexHeader(ZFIN)), kGoodHexHeader);
  std::string plainLineFeed = zrinit.substr(0, 18) + "\r\n";
  EXPECT_EQ(Decode(plainLineFeed), kGoodHexHeader);
  EXPECT_EQ(Decode(zrinit.substr(0, 18)), kBadHeader);  // ends with the last CRC digit
}

TEST(ZModemAnswers, TextBeforeTheHeaderIsSkippedUnlessItHoldsAStar) {
  std::string zrpos = HexHeader(ZRPOS, 0x200);
  EXPECT_EQ(Decode("rz\r\n" + zrpos), kGoodHexHeader);
  EXPECT_EQ(zmodemContext.rxHeader[2], 0x02);
  EXPECT_EQ(Decode("a*b" + zrpos), kNoHeader);
  EXPECT_EQ(Decode("no header"), kNoHeader);
  EXPECT_EQ(Decode("*" + zrpos), kNoHeader);  // three stars: only the first one is tried
}

TEST(ZModemAnswers, HexDigitsMustBeLowercaseButMayCarryParity) {
  std::string zrinit = HexHeader(ZRINIT, 0xABCD);
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
  std::string escaped = BinaryHeader(ZACK, 0x11181300);
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
  std::string header = Binary32Header(ZRINIT);
  EXPECT_EQ(Decode(header), kGoodBinary32Header);
  for (std::size_t i = 3; i < header.size(); ++i) {
    std::string changed = header;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_EQ(Decode(changed), kBadHeader) << "byte " << i;
  }
}

TEST(ZModemAnswers, FailedDecodeBeforeTheHeaderLeavesRxHeaderAlone) {
  Decode(HexHeader(ZFIN));
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
