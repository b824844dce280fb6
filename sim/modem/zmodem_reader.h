// Reads ZModem frames from the sender's byte stream, one byte at a time, so that bytes may
// arrive in pieces of any size: hex and binary headers (CRC-16 and CRC-32) and the data
// subpackets that follow a header of a data-carrying type. It reports what it has read; what the
// frames mean is the receiver's business.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/modem/zmodem.h"

namespace sim::modem::zmodem {

// Undoes the ZDLE escaping of binary headers and subpackets. XON and XOFF (with or without the
// top bit) are line flow control, not data, and are dropped wherever they appear.
class Unescaper {
 public:
  static constexpr int kNothing = -1;      // the byte was consumed without giving one
  static constexpr int kBad = -2;          // ZDLE followed by a byte that no escape produces
  static constexpr int kFrameEnd = 0x100;  // ORed with the subpacket end (ZCRCE..ZCRCW)

  int Feed(std::uint8_t byte);
  void Reset() { escaped_ = false; }

 private:
  bool escaped_ = false;
};

enum class ReadEvent { kNone, kHeader, kBadHeader, kSubpacket, kBadSubpacket };

class FrameReader {
 public:
  ReadEvent Feed(std::uint8_t byte);
  // Forgets a frame in progress; the next header lead-in starts a new one.
  void Reset();

  // The last header read; it stays valid while its subpackets are read.
  const Header& header() const { return header_; }
  HeaderForm form() const { return form_; }
  // The last subpacket read and how it ended (ZCRCE, ZCRCG, ZCRCQ or ZCRCW).
  std::span<const std::uint8_t> data() const { return data_; }
  std::uint8_t frameEnd() const { return frameEnd_; }

 private:
  enum class State { kSeek, kPad, kLeadIn, kHexHeader, kBinaryHeader, kData, kDataCrc };

  ReadEvent SeekHeader(std::uint8_t byte);
  ReadEvent ReadHexDigit(std::uint8_t byte);
  ReadEvent ReadBinaryHeaderByte(std::uint8_t byte);
  ReadEvent HeaderRead(bool good);
  ReadEvent ReadDataByte(std::uint8_t byte);
  ReadEvent ReadDataCrcByte(std::uint8_t byte);
  void StartChecks();
  void Check(std::uint8_t byte);
  bool ChecksGood() const;
  std::size_t CrcLength() const { return form_ == HeaderForm::kBinary32 ? 4 : 2; }

  State state_ = State::kSeek;
  HeaderForm form_ = HeaderForm::kHex;
  Header header_;
  Unescaper unescaper_;
  std::size_t count_ = 0;    // header bytes, hex digits or CRC bytes read so far
  std::uint8_t nibble_ = 0;  // the high digit of a hex byte
  std::uint16_t crc16_ = 0;
  std::uint32_t crc32_ = 0;
  std::vector<std::uint8_t> data_;
  std::uint8_t frameEnd_ = 0;
  bool nextSubpacket_ = false;  // data_ holds a reported subpacket; the next byte starts anew
};

}  // namespace sim::modem::zmodem
