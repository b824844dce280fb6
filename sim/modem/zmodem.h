// The ZModem protocol's constants and its five-byte header, as the modem's receiver uses them.
#pragma once

#include <array>
#include <cstdint>

namespace sim::modem::zmodem {

inline constexpr std::uint8_t kPad = '*';
inline constexpr std::uint8_t kDle = 0x18;  // escape byte; also CAN
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::uint8_t kBin = 'A';    // binary header, CRC-16
inline constexpr std::uint8_t kHex = 'B';    // hex header, CRC-16
inline constexpr std::uint8_t kBin32 = 'C';  // binary header, CRC-32
inline constexpr std::uint8_t kXon = 0x11;
inline constexpr std::uint8_t kXoff = 0x13;

// Subpacket ends (after ZDLE): what the sender expects after the subpacket.
inline constexpr std::uint8_t kCrcE = 'h';  // frame ends, no answer
inline constexpr std::uint8_t kCrcG = 'i';  // frame goes on, no answer
inline constexpr std::uint8_t kCrcQ = 'j';  // frame goes on, ZACK expected
inline constexpr std::uint8_t kCrcW = 'k';  // frame ends, ZACK expected
inline constexpr std::uint8_t kRub0 = 'l';  // escaped 0x7F
inline constexpr std::uint8_t kRub1 = 'm';  // escaped 0xFF

// Frame types.
inline constexpr std::uint8_t kRqInit = 0;
inline constexpr std::uint8_t kRInit = 1;
inline constexpr std::uint8_t kSInit = 2;
inline constexpr std::uint8_t kAck = 3;
inline constexpr std::uint8_t kFile = 4;
inline constexpr std::uint8_t kSkip = 5;
inline constexpr std::uint8_t kNak = 6;
inline constexpr std::uint8_t kAbort = 7;
inline constexpr std::uint8_t kFin = 8;
inline constexpr std::uint8_t kRPos = 9;
inline constexpr std::uint8_t kData = 10;
inline constexpr std::uint8_t kEof = 11;
inline constexpr std::uint8_t kFErr = 12;
inline constexpr std::uint8_t kCommand = 18;

// ZRINIT capability flags (in the last header byte): full duplex, receives while writing,
// takes CRC-32 frames.
inline constexpr std::uint8_t kCanFdx = 0x01;
inline constexpr std::uint8_t kCanOvIo = 0x02;
inline constexpr std::uint8_t kCanFc32 = 0x20;

// The longest data subpacket the protocol allows.
inline constexpr std::size_t kMaxSubpacket = 1024;

enum class HeaderForm { kHex, kBinary16, kBinary32 };

// Type, then four bytes that hold a file position little-endian (or flags).
struct Header {
  std::array<std::uint8_t, 5> bytes{};

  static Header At(std::uint8_t type, std::uint32_t position) {
    return {{type, static_cast<std::uint8_t>(position), static_cast<std::uint8_t>(position >> 8),
             static_cast<std::uint8_t>(position >> 16), static_cast<std::uint8_t>(position >> 24)}};
  }
  std::uint8_t type() const { return bytes[0]; }
  std::uint32_t position() const {
    return bytes[1] | bytes[2] << 8 | bytes[3] << 16 | static_cast<std::uint32_t>(bytes[4]) << 24;
  }
};

// Frames of these types carry data subpackets after their header.
constexpr bool CarriesData(std::uint8_t type) {
  return type == kSInit || type == kFile || type == kData || type == kCommand;
}

}  // namespace sim::modem::zmodem
