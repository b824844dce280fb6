#include "sim/modem/zmodem_answer.h"

#include "sim/modem/crc.h"

namespace sim::modem::zmodem {
namespace {

// The header bytes followed by their CRC-16, high byte first.
std::vector<std::uint8_t> WithCrc(const Header& header, bool badCrc) {
  std::uint16_t crc = 0;
  for (std::uint8_t byte : header.bytes) crc = Crc16Step(crc, byte);
  if (badCrc) crc ^= 0x0001;
  std::vector<std::uint8_t> bytes(header.bytes.begin(), header.bytes.end());
  bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
  bytes.push_back(static_cast<std::uint8_t>(crc));
  return bytes;
}

std::vector<std::uint8_t> EncodeHex(const Header& header, const AnswerForm& form) {
  const char* digits = form.uppercase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::vector<std::uint8_t> out = {kPad, kPad, kDle, kHex};
  for (std::uint8_t byte : WithCrc(header, form.badCrc)) {
    out.push_back(static_cast<std::uint8_t>(digits[byte >> 4]));
    out.push_back(static_cast<std::uint8_t>(digits[byte & 0x0F]));
  }
  out.push_back('\r');
  out.push_back('\n' | 0x80);
  // XON restarts a sender that a lost XOFF left stopped; after ZFIN the session is over.
  if (header.type() != kFin) out.push_back(kXon);
  return out;
}

// Binary header bytes are escaped where a line could take them for control: ZDLE itself, XON,
// XOFF and DLE, with or without the top bit.
void PutEscaped(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  switch (byte) {
    case kDle:
    case 0x10:
    case 0x90:
    case kXon:
    case 0x91:
    case kXoff:
    case 0x93:
      out.push_back(kDle);
      out.push_back(byte ^ 0x40);
      return;
    default:
      out.push_back(byte);
  }
}

std::vector<std::uint8_t> EncodeBinary(const Header& header, const AnswerForm& form) {
  std::vector<std::uint8_t> out = {kPad, kDle, kBin};
  for (std::uint8_t byte : WithCrc(header, form.badCrc)) PutEscaped(out, byte);
  return out;
}

}  // namespace

std::vector<std::uint8_t> EncodeAnswer(const Header& header, AnswerForm form) {
  return form.binary ? EncodeBinary(header, form) : EncodeHex(header, form);
}

}  // namespace sim::modem::zmodem
