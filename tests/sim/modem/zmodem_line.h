// What a ZModem sender puts on the line, built bit by bit for the receiver's tests, apart from
// the receiver's own tables and escaping: CRCs computed bitwise, headers, data subpackets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zmodem_line {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kZdle = 0x18;
inline constexpr std::uint8_t kXon = 0x11;
enum Type : std::uint8_t {
  kZrqinit = 0,
  kZrinit = 1,
  kZack = 3,
  kZfile = 4,
  kZnak = 6,
  kZabort = 7,
  kZfin = 8,
  kZrpos = 9,
  kZdata = 10,
  kZeof = 11,
};
enum End : std::uint8_t { kZcrce = 'h', kZcrcg = 'i', kZcrcq = 'j', kZcrcw = 'k' };

inline std::uint16_t Crc16(const Bytes& bytes) {
  std::uint16_t crc = 0;
  for (std::uint8_t byte : bytes) {
    crc ^= static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

inline std::uint32_t Crc32(const Bytes& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

inline Bytes Text(const std::string& text) {
  return {text.begin(), text.end()};
}
inline std::string String(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes HeaderBytes(std::uint8_t type, std::uint32_t position) {
  return {type, static_cast<std::uint8_t>(position), static_cast<std::uint8_t>(position >> 8),
          static_cast<std::uint8_t>(position >> 16), static_cast<std::uint8_t>(position >> 24)};
}

struct HexOptions {
  bool uppercase = false;
  bool badCrc = false;
  bool xon = true;  // the trailing XON
};

inline Bytes HexHeader(std::uint8_t type, std::uint32_t position, HexOptions options = {}) {
  Bytes header = HeaderBytes(type, position);
  std::uint16_t crc = Crc16(header) ^ (options.badCrc ? 1 : 0);
  header.push_back(static_cast<std::uint8_t>(crc >> 8));
  header.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  const char* digits = options.uppercase ? "0123456789ABCDEF" : "0123456789abcdef";
  Bytes out = {'*', '*', kZdle, 'B'};
  for (std::uint8_t byte : header) {
    out.push_back(static_cast<std::uint8_t>(digits[byte >> 4]));
    out.push_back(static_cast<std::uint8_t>(digits[byte & 15]));
  }
  out.push_back('\r');
  out.push_back(0x8A);
  if (options.xon) out.push_back(kXon);
  return out;
}

// The modem's answers: XON after every hex header but ZFIN.
inline Bytes Answer(std::uint8_t type, std::uint32_t position) {
  return HexHeader(type, position, {.xon = type != kZfin});
}

// How a sender escapes: ZDLE, DLE, XON and XOFF (with or without the top bit) always; with
// `controls` every other control byte too, and 0x7F/0xFF as ZRUB0/ZRUB1 when `rubs`.
struct Escaping {
  bool controls = false;
  bool rubs = false;
};

inline void PutEscaped(Bytes& out, std::uint8_t byte, Escaping escaping) {
  std::uint8_t low = byte & 0x7F;
  if (escaping.rubs && low == 0x7F) {
    out.insert(out.end(), {kZdle, static_cast<std::uint8_t>(byte == 0x7F ? 'l' : 'm')});
  } else if (byte == kZdle || low == 0x10 || low == 0x11 || low == 0x13 ||
             (escaping.controls && low < 0x20)) {
    out.insert(out.end(), {kZdle, static_cast<std::uint8_t>(byte ^ 0x40)});
  } else {
    out.push_back(byte);
  }
}

inline Bytes BinaryHeader(std::uint8_t type, std::uint32_t position, bool crc32 = false) {
  Bytes header = HeaderBytes(type, position);
  Bytes out = {'*', kZdle, static_cast<std::uint8_t>(crc32 ? 'C' : 'A')};
  Bytes covered = header;
  if (crc32) {
    std::uint32_t crc = Crc32(header);
    for (int i = 0; i < 4; ++i) covered.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  } else {
    std::uint16_t crc = Crc16(header);
    covered.push_back(static_cast<std::uint8_t>(crc >> 8));
    covered.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  }
  for (std::uint8_t byte : covered) PutEscaped(out, byte, {});
  return out;
}

struct SubpacketOptions {
  bool crc32 = false;
  Escaping escaping = {};
  bool badCrc = false;
};

// Data, ZDLE and the end, the CRC over data and end; XON after ZCRCW.
inline Bytes Subpacket(const Bytes& data, End end, SubpacketOptions options = {}) {
  Bytes out;
  for (std::uint8_t byte : data) PutEscaped(out, byte, options.escaping);
  out.push_back(kZdle);
  out.push_back(end);
  Bytes covered = data;
  covered.push_back(end);
  Bytes check;
  if (options.crc32) {
    std::uint32_t crc = Crc32(covered) ^ (options.badCrc ? 1 : 0);
    for (int i = 0; i < 4; ++i) check.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  } else {
    std::uint16_t crc = Crc16(covered) ^ (options.badCrc ? 1 : 0);
    check = {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)};
  }
  for (std::uint8_t byte : check) PutEscaped(out, byte, options.escaping);
  if (end == kZcrcw) out.push_back(kXon);
  return out;
}

// The 128-byte file information block: name, NUL, size, octal time, mode; zero padded.
inline Bytes FileInformation(const std::string& name, std::size_t size) {
  Bytes block = Text(name);
  block.push_back(0);
  block = block + Text(std::to_string(size) + " 14727175400 100666 ");
  block.resize(128, 0);
  return block;
}

inline Bytes ZfileFrame(const std::string& name, std::size_t size) {
  return BinaryHeader(kZfile, 0) + Subpacket(FileInformation(name, size), kZcrcw);
}

inline Bytes ZdataFrame(std::uint32_t position, const Bytes& data) {
  return BinaryHeader(kZdata, position) + Subpacket(data, kZcrcw);
}

}  // namespace zmodem_line
