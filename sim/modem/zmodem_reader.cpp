#include "sim/modem/zmodem_reader.h"

#include <utility>

#include "sim/modem/crc.h"

namespace sim::modem::zmodem {
namespace {

bool IsFlowControl(std::uint8_t byte) {
  std::uint8_t low = byte & 0x7F;
  return low == kXon || low == kXoff;
}

// A hex header digit: 0-9 and lowercase a-f only; -1 for anything else.
int HexValue(std::uint8_t ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

}  // namespace

int Unescaper::Feed(std::uint8_t byte) {
  if (!escaped_) {
    if (byte == kDle) {
      escaped_ = true;
      return kNothing;
    }
    return IsFlowControl(byte) ? kNothing : byte;
  }
  // A CAN after ZDLE belongs to a cancel sequence (counted by the receiver), flow control is
  // line noise: both leave the escape pending.
  if (byte == kCan || IsFlowControl(byte)) return kNothing;
  escaped_ = false;
  switch (byte) {
    case kCrcE:
    case kCrcG:
    case kCrcQ:
    case kCrcW:
      return kFrameEnd | byte;
    case kRub0:
      return 0x7F;
    case kRub1:
      return 0xFF;
    default:
      return (byte & 0x60) == 0x40 ? byte ^ 0x40 : kBad;
  }
}

ReadEvent FrameReader::Feed(std::uint8_t byte) {
  switch (state_) {
    case State::kSeek:
    case State::kPad:
    case State::kLeadIn:
      return SeekHeader(byte);
    case State::kHexHeader:
      return ReadHexDigit(byte);
    case State::kBinaryHeader:
      return ReadBinaryHeaderByte(byte);
    case State::kData:
      return ReadDataByte(byte);
    case State::kDataCrc:
      return ReadDataCrcByte(byte);
  }
  return ReadEvent::kNone;
}

void FrameReader::Reset() {
  state_ = State::kSeek;
  unescaper_.Reset();
  data_.clear();
  nextSubpacket_ = false;
}

// Lead-ins: ZPAD ZPAD ZDLE 'B' for hex, ZPAD ZDLE 'A' or 'C' for binary. Extra pads are taken,
// anything else between frames (line ends and XON after a frame, noise) is passed over.
ReadEvent FrameReader::SeekHeader(std::uint8_t byte) {
  if (byte == kPad) {
    state_ = State::kPad;
    return ReadEvent::kNone;
  }
  if (state_ == State::kPad && byte == kDle) {
    state_ = State::kLeadIn;
    return ReadEvent::kNone;
  }
  bool leadIn = state_ == State::kLeadIn;
  state_ = State::kSeek;
  if (leadIn && (byte == kHex || byte == kBin || byte == kBin32)) {
    form_ = byte == kHex   ? HeaderForm::kHex
            : byte == kBin ? HeaderForm::kBinary16
                           : HeaderForm::kBinary32;
    state_ = byte == kHex ? State::kHexHeader : State::kBinaryHeader;
  }
  count_ = 0;
  unescaper_.Reset();
  StartChecks();
  return ReadEvent::kNone;
}

// Seven header bytes (type, four position bytes, CRC-16 high then low) as fourteen hex digits.
// The top bit of each character is dropped and XON/XOFF between digits are skipped.
ReadEvent FrameReader::ReadHexDigit(std::uint8_t byte) {
  std::uint8_t ch = byte & 0x7F;
  if (ch == kXon || ch == kXoff) return ReadEvent::kNone;
  int value = HexValue(ch);
  if (value < 0) return HeaderRead(false);
  if (count_++ % 2 == 0) {
    nibble_ = static_cast<std::uint8_t>(value);
    return ReadEvent::kNone;
  }
  std::uint8_t full = static_cast<std::uint8_t>(nibble_ << 4 | value);
  std::size_t index = count_ / 2 - 1;
  if (index < header_.bytes.size()) header_.bytes[index] = full;
  Check(full);
  return count_ == 14 ? HeaderRead(ChecksGood()) : ReadEvent::kNone;
}

ReadEvent FrameReader::ReadBinaryHeaderByte(std::uint8_t byte) {
  int value = unescaper_.Feed(byte);
  if (value == Unescaper::kNothing) return ReadEvent::kNone;
  if (value < 0 || value > 0xFF) return HeaderRead(false);
  if (count_ < header_.bytes.size()) header_.bytes[count_] = static_cast<std::uint8_t>(value);
  Check(static_cast<std::uint8_t>(value));
  return ++count_ == header_.bytes.size() + CrcLength() ? HeaderRead(ChecksGood())
                                                        : ReadEvent::kNone;
}

ReadEvent FrameReader::HeaderRead(bool good) {
  state_ = good && CarriesData(header_.type()) ? State::kData : State::kSeek;
  data_.clear();
  nextSubpacket_ = false;
  unescaper_.Reset();
  StartChecks();
  return good ? ReadEvent::kHeader : ReadEvent::kBadHeader;
}

ReadEvent FrameReader::ReadDataByte(std::uint8_t byte) {
  // The previous subpacket of this frame has been reported; this byte starts the next one.
  if (std::exchange(nextSubpacket_, false)) data_.clear();
  int value = unescaper_.Feed(byte);
  if (value == Unescaper::kNothing) return ReadEvent::kNone;
  bool full = value <= 0xFF && data_.size() == kMaxSubpacket;
  if (value == Unescaper::kBad || full) {
    state_ = State::kSeek;
    return ReadEvent::kBadSubpacket;
  }
  std::uint8_t low = static_cast<std::uint8_t>(value);
  Check(low);  // the subpacket end is covered by the CRC as well
  if (value & Unescaper::kFrameEnd) {
    frameEnd_ = low;
    count_ = 0;
    state_ = State::kDataCrc;
  } else {
    data_.push_back(low);
  }
  return ReadEvent::kNone;
}

ReadEvent FrameReader::ReadDataCrcByte(std::uint8_t byte) {
  int value = unescaper_.Feed(byte);
  if (value == Unescaper::kNothing) return ReadEvent::kNone;
  bool good = value >= 0 && value <= 0xFF;
  if (good) Check(static_cast<std::uint8_t>(value));
  if (good && ++count_ < CrcLength()) return ReadEvent::kNone;
  good = good && ChecksGood();
  bool frameGoesOn = frameEnd_ == kCrcG || frameEnd_ == kCrcQ;
  state_ = good && frameGoesOn ? State::kData : State::kSeek;
  nextSubpacket_ = state_ == State::kData;
  count_ = 0;
  StartChecks();
  return good ? ReadEvent::kSubpacket : ReadEvent::kBadSubpacket;
}

void FrameReader::StartChecks() {
  crc16_ = 0;
  crc32_ = 0xFFFFFFFF;
}

void FrameReader::Check(std::uint8_t byte) {
  if (form_ == HeaderForm::kBinary32) {
    crc32_ = Crc32Step(crc32_, byte);
  } else {
    crc16_ = Crc16Step(crc16_, byte);
  }
}

bool FrameReader::ChecksGood() const {
  return form_ == HeaderForm::kBinary32 ? crc32_ == kCrc32Residue : crc16_ == 0;
}

}  // namespace sim::modem::zmodem
