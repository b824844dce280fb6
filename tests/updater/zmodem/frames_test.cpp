// The bytes of the frames the sender builds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "updater/zmodem/zmodem.h"

namespace {

class Frames : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetZModemContext();
    lastEscapedByte = 0;
  }
  std::string Frame() const {
    const ZModemContext& z = zmodemContext;
    return std::string(reinterpret_cast<const char*>(z.frame), static_cast<size_t>(z.frameLength));
  }
  void Header(BYTE type, LONG position) {
    std::memset(zmodemContext.txHeader, 0, kHeaderLength);
    zmodemContext.txHeader[0] = type;
    SetHeaderPosition(position, zmodemContext.txHeader);
    zmodemContext.frameLength = 0;
  }
};

TEST(ZModemCrc, ChecksumsMatchTheirCheckValues) {
  WORD crc16 = 0;
  for (char c : std::string("123456789")) crc16 = Crc16Update(static_cast<BYTE>(c), crc16);
  EXPECT_EQ(Crc16Update(0, Crc16Update(0, crc16)), 0x31C3);
  DWORD crc32 = 0xFFFFFFFF;
  for (char c : std::string("123456789")) crc32 = Crc32Update(static_cast<BYTE>(c), crc32);
  EXPECT_EQ(~crc32, 0xCBF43926u);
}

TEST_F(Frames, HexHeadersAreExactAndOnlyZfinAndZackGoWithoutXon) {
  Header(ZRQINIT, 0);
  SendHexHeader(zmodemContext);
  EXPECT_EQ(Frame(),
            "**\x18"
            "B00000000000000\r\x8a\x11");
  Header(ZFIN, 0);
  SendHexHeader(zmodemContext);
  EXPECT_EQ(Frame(),
            "**\x18"
            "B0800000000022d\r\x8a");
  Header(ZABORT, 0);
  SendHexHeader(zmodemContext);
  EXPECT_EQ(Frame().substr(14, 4), "67d4");
  EXPECT_EQ(Frame().size(), 21u);
  Header(ZACK, 0x131118);  // bytes that a binary header escapes go plainly as hex digits
  SendHexHeader(zmodemContext);
  EXPECT_EQ(Frame().substr(4, 10), "0318111300");
  EXPECT_EQ(Frame().size(), 20u);
}

TEST_F(Frames, BinaryHeadersEscapeControlBytesOfTheHeaderAndCrc) {
  Header(ZDATA, 0x00131118);
  SendBinaryHeader(zmodemContext);
  std::string frame = Frame();
  EXPECT_EQ(frame.substr(0, 3),
            "*\x18"
            "A");
  EXPECT_EQ(frame.substr(3, 8), std::string("\x0a\x18\x58\x18\x51\x18\x53\x00", 8));
  EXPECT_EQ(lastEscapedByte, static_cast<BYTE>(frame.back()));
}

TEST_F(Frames, CarriageReturnIsEscapedOnlyAfterAnAt) {
  const BYTE data[] = {'@', 0x0D, 'A', 0x0D, 0x10, 0x7F, 0xFF, 0x90, 0x98, 0x91};
  SendDataSubpacket(zmodemContext, data, sizeof(data), ZCRCG);
  std::string frame = Frame();
  EXPECT_EQ(frame.substr(0, 12), std::string("@\x18\x4d"
                                             "A\x0d\x10\x7f\xff\x90\x98\x18\xd1",
                                             12));
  EXPECT_EQ(frame.substr(12, 2), "\x18i");
  EXPECT_NE(frame.back(), XON);  // only ZCRCW is followed by XON
}

TEST_F(Frames, EmptySubpacketCarriesTheCrcOfItsFrameEnd) {
  SendDataSubpacket(zmodemContext, nullptr, 0, ZCRCW);
  WORD crc = Crc16Update(0, Crc16Update(0, Crc16Update(ZCRCW, 0)));
  std::string expected = {static_cast<char>(ZDLE), static_cast<char>(ZCRCW),
                          static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF),
                          static_cast<char>(XON)};
  EXPECT_EQ(Frame(), expected);
}

// A block in which every byte needs escaping still fits the frame area whole.
TEST_F(Frames, WorstCaseBlockFitsAndExtraBytesAreDropped) {
  std::vector<BYTE> block(kBlockSize, 0x18);
  Header(ZDATA, 0x18181818);
  SendBinaryHeader(zmodemContext);
  SendDataSubpacket(zmodemContext, block.data(), kBlockSize, ZCRCW);
  LONG full = zmodemContext.frameLength;
  EXPECT_LE(full, kFrameAreaSize);
  EXPECT_EQ(zmodemContext.frame[full - 1], XON);
  zmodemContext.frameLength = kFrameAreaSize;
  PutFrameByte(zmodemContext, 'x');
  EXPECT_EQ(zmodemContext.frameLength, kFrameAreaSize);
  zmodemContext.frameCursor = nullptr;
  zmodemContext.frameLength = 0;
  PutFrameByte(zmodemContext, 'x');
  EXPECT_EQ(zmodemContext.frameLength, 0);
}

TEST(ZModemPosition, IsStoredLittleEndian) {
  BYTE header[kHeaderLength] = {ZDATA};
  SetHeaderPosition(0x12345678, header);
  EXPECT_EQ(header[1], 0x78);
  EXPECT_EQ(header[4], 0x12);
}

}  // namespace
