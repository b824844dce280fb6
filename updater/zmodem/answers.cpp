// Decoding one ZModem header from an answer already in memory. The decoder never waits and never
// reads past the answer; running out of bytes is a failure.
#include "platform/base/check.h"
#include "updater/zmodem/zmodem.h"

namespace {

constexpr int kEndOfAnswer = -2;
constexpr int kCancelMarker = 0x118;
constexpr DWORD kCrc32Residue = 0xDEBB20E3;

bool IsFlowControl(int byte) {
  return byte == XON || byte == XOFF || byte == 0x91 || byte == 0x93;
}

// The two lines after a hex header: CR and LF (LF with or without its top bit), then the XON
// that follows every hex header but ZFIN and ZACK, when the LF had its top bit set.
int ReadHexHeaderEnd(ZModemContext& context) {
  if (NextAnswerByte(context) < 0) return kBadHeader;
  int lineFeed = NextAnswerByte(context);
  if (lineFeed < 0) return kBadHeader;
  BYTE type = context.rxHeader[0];
  if (lineFeed != 0x8A || type == ZFIN || type == ZACK) return kGoodHexHeader;
  return NextAnswerByte(context) >= 0 ? kGoodHexHeader : kBadHeader;
}

}  // namespace

int NextAnswerByte(ZModemContext& context) {
  if (context.answer == nullptr || context.answerCursor >= context.answerLength) {
    return kEndOfAnswer;
  }
  MDM_ASSERT(context.answerCursor >= 0);
  return context.answer[context.answerCursor++];
}

int DecodeZModemHeader(ZModemContext& context) {
  int byte;
  do {
    byte = NextAnswerByte(context);
    if (byte < 0) return kNoHeader;
  } while (byte != ZPAD);
  // Only the first "*" is tried.
  byte = NextAnswerByte(context);
  if (byte == ZDLE) {
    byte = NextAnswerByte(context);
    if (byte == ZBIN) return ReadBinaryHeader(context);
    if (byte == ZBIN32) return ReadBinary32Header(context);
    return kNoHeader;
  }
  if (byte != ZPAD || NextAnswerByte(context) != ZDLE || NextAnswerByte(context) != ZHEX) {
    return kNoHeader;
  }
  return ReadHexHeader(context);
}

int ReadHexHeader(ZModemContext& context) {
  WORD crc = 0;
  for (int i = 0; i < kHeaderLength + 2; ++i) {
    int value = ReadHexByte(context);
    if (value < 0) return kBadHeader;
    if (i < kHeaderLength) context.rxHeader[i] = static_cast<BYTE>(value);
    crc = Crc16Update(static_cast<BYTE>(value), crc);
  }
  if (crc != 0) return kBadHeader;
  return ReadHexHeaderEnd(context);
}

int ReadBinaryHeader(ZModemContext& context) {
  WORD crc = 0;
  for (int i = 0; i < kHeaderLength + 2; ++i) {
    int value = ReadEscapedByte(context);
    if (value < 0 || value > 0xFF) return kBadHeader;
    if (i < kHeaderLength) context.rxHeader[i] = static_cast<BYTE>(value);
    crc = Crc16Update(static_cast<BYTE>(value), crc);
  }
  return crc == 0 ? kGoodBinaryHeader : kBadHeader;
}

int ReadBinary32Header(ZModemContext& context) {
  DWORD crc = 0xFFFFFFFF;
  for (int i = 0; i < kHeaderLength + 4; ++i) {
    int value = ReadEscapedByte(context);
    if (value < 0 || value > 0xFF) return kBadHeader;
    if (i < kHeaderLength) context.rxHeader[i] = static_cast<BYTE>(value);
    crc = Crc32Update(static_cast<BYTE>(value), crc);
  }
  return crc == kCrc32Residue ? kGoodBinary32Header : kBadHeader;
}

// Two hex digits, high nibble first; only 0-9 and lowercase a-f count.
int ReadHexByte(ZModemContext& context) {
  int value = 0;
  for (int digit = 0; digit < 2; ++digit) {
    int ch = ReadSevenBitChar(context);
    if (ch < 0) return ch;
    int nibble = ch - 0x30;
    if (nibble > 9) nibble = ch - 0x57;
    if (nibble < 0 || nibble > 15) return kBadHeader;
    value = (value << 4) | nibble;
  }
  return value;
}

int ReadSevenBitChar(ZModemContext& context) {
  for (;;) {
    int byte = NextAnswerByte(context);
    if (byte < 0) return byte;
    int ch = byte & 0x7F;
    if (ch == 0x0D || ch == 0x0A || ch == ZDLE) return ch;
    if (ch == XON || ch == XOFF) continue;
    if (context.escapeAllControl != 0 && (ch & 0x60) == 0) continue;
    return ch;
  }
}

int ReadEscapedByte(ZModemContext& context) {
  for (;;) {  // plain bytes until a ZDLE
    int byte = NextAnswerByte(context);
    if (byte < 0 || (byte & 0x60) != 0) return byte;
    if (IsFlowControl(byte)) continue;
    if (byte == ZDLE) break;
    if (context.escapeAllControl != 0) continue;
    return byte;
  }
  for (;;) {  // the byte after ZDLE
    int byte = NextAnswerByte(context);
    if (byte < 0) return byte;
    for (int cancels = 0; byte == CAN && cancels < 3; ++cancels) {
      byte = NextAnswerByte(context);
      if (byte < 0) return byte;
    }
    if (byte == CAN) return kCancelMarker;
    if (byte >= ZCRCE && byte <= ZCRCW) return byte | 0x100;
    if (byte == ZRUB0) return 0x7F;
    if (byte == ZRUB1) return 0xFF;
    if (IsFlowControl(byte)) continue;
    if (context.escapeAllControl != 0 && (byte & 0x60) == 0) continue;
    return (byte & 0x60) == 0x40 ? byte ^ 0x40 : kBadHeader;
  }
}
