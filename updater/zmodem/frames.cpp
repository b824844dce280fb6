// Building ZModem frames: hex and binary headers, data subpackets, the escaping of control
// bytes, and the two checksums.
#include <array>

#include "platform/base/check.h"
#include "updater/zmodem/zmodem.h"

BYTE lastEscapedByte = 0;

namespace {

constexpr std::array<WORD, 256> MakeCrc16Table() {
  std::array<WORD, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[i] = static_cast<WORD>(crc);
  }
  return table;
}

constexpr std::array<DWORD, 256> MakeCrc32Table() {
  std::array<DWORD, 256> table{};
  for (DWORD i = 0; i < 256; ++i) {
    DWORD crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc32Table = MakeCrc32Table();

constexpr char kHexDigits[] = "0123456789abcdef";

void PutHexByte(ZModemContext& context, BYTE byte) {
  PutFrameByte(context, static_cast<BYTE>(kHexDigits[byte >> 4]));
  PutFrameByte(context, static_cast<BYTE>(kHexDigits[byte & 0x0F]));
}

// The CRC as sent: the covered bytes, then two zero bytes through the same step.
WORD FinishCrc16(WORD crc) {
  return Crc16Update(0, Crc16Update(0, crc));
}

void Escape(ZModemContext& context, BYTE byte) {
  PutFrameByte(context, ZDLE);
  PutFrameByte(context, byte ^ 0x40);
  lastEscapedByte = byte ^ 0x40;
}

}  // namespace

WORD Crc16Update(BYTE byte, WORD crc) {
  return static_cast<WORD>(kCrc16Table[crc >> 8] ^ static_cast<WORD>(crc << 8) ^ byte);
}

DWORD Crc32Update(BYTE byte, DWORD crc) {
  return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

void SetHeaderPosition(LONG position, BYTE* header) {
  auto value = static_cast<DWORD>(position);
  for (int i = 1; i <= 4; ++i) header[i] = static_cast<BYTE>(value >> (8 * (i - 1)));
}

void PutFrameByte(ZModemContext& context, BYTE byte) {
  if (context.frameCursor == nullptr || context.frameLength >= kFrameAreaSize) return;
  context.frameCursor[context.frameLength++] = byte;
}

void SendEscapedByte(ZModemContext& context, BYTE byte) {
  if ((byte & 0x60) != 0) {
    PutFrameByte(context, byte);
    lastEscapedByte = byte;
    return;
  }
  switch (byte) {
    case ZDLE:
    case 0x11:
    case 0x13:
    case 0x91:
    case 0x93:
      Escape(context, byte);
      return;
    case 0x0D:
    case 0x8D:
      // A carriage return after "@" would look like the start of a modem command.
      if (context.escapeAllControl != 0 || (lastEscapedByte & 0x7F) == '@') {
        Escape(context, byte);
        return;
      }
      break;
    default:
      if (context.escapeAllControl != 0) {
        Escape(context, byte);
        return;
      }
  }
  PutFrameByte(context, byte);
  lastEscapedByte = byte;
}

void SendHexHeader(ZModemContext& context) {
  for (BYTE lead : {ZPAD, ZPAD, ZDLE, ZHEX}) PutFrameByte(context, lead);
  WORD crc = 0;
  for (BYTE byte : context.txHeader) {
    PutHexByte(context, byte);
    crc = Crc16Update(byte, crc);
  }
  crc = FinishCrc16(crc);
  PutHexByte(context, static_cast<BYTE>(crc >> 8));
  PutHexByte(context, static_cast<BYTE>(crc));
  PutFrameByte(context, 0x0D);
  PutFrameByte(context, 0x8A);
  BYTE type = context.txHeader[0];
  if (type != ZFIN && type != ZACK) PutFrameByte(context, XON);
}

void SendBinaryHeader(ZModemContext& context) {
  for (BYTE lead : {ZPAD, ZDLE, ZBIN}) PutFrameByte(context, lead);
  WORD crc = 0;
  for (BYTE byte : context.txHeader) {
    SendEscapedByte(context, byte);
    crc = Crc16Update(byte, crc);
  }
  crc = FinishCrc16(crc);
  SendEscapedByte(context, static_cast<BYTE>(crc >> 8));
  SendEscapedByte(context, static_cast<BYTE>(crc));
}

void SendDataSubpacket(ZModemContext& context, const BYTE* data, LONG length, BYTE frameEnd) {
  // A subpacket carries one block at most: the frame area has room for that, escaped.
  MDM_ASSERT(length >= 0 && length <= kBlockSize);
  MDM_ASSERT(frameEnd == ZCRCE || frameEnd == ZCRCG || frameEnd == ZCRCQ || frameEnd == ZCRCW);
  WORD crc = 0;
  for (LONG i = 0; i < length; ++i) {
    SendEscapedByte(context, data[i]);
    crc = Crc16Update(data[i], crc);
  }
  PutFrameByte(context, ZDLE);
  PutFrameByte(context, frameEnd);
  crc = FinishCrc16(Crc16Update(frameEnd, crc));
  SendEscapedByte(context, static_cast<BYTE>(crc >> 8));
  SendEscapedByte(context, static_cast<BYTE>(crc));
  if (frameEnd == ZCRCW) PutFrameByte(context, XON);
}
