#include "platform/net/rfc2217.h"

namespace platform::net::rfc2217 {

BYTE ModemStateChange(BYTE before, BYTE now) {
  BYTE state = now & 0xF0;
  if ((before ^ now) & kModemCd) state |= kModemDeltaCd;
  if ((before & kModemRi) && !(now & kModemRi)) state |= kModemTrailingRi;
  if ((before ^ now) & kModemDsr) state |= kModemDeltaDsr;
  if ((before ^ now) & kModemCts) state |= kModemDeltaCts;
  return state;
}

// The platform numbers parity from 0 (none) to 4 (space), the wire from 1.
BYTE ParityToWire(BYTE dcbParity) {
  return dcbParity <= 4 ? static_cast<BYTE>(dcbParity + 1) : kParityNone;
}

std::optional<BYTE> ParityFromWire(BYTE wire) {
  if (wire < kParityNone || wire > kParitySpace) return std::nullopt;
  return static_cast<BYTE>(wire - 1);
}

// The platform: 0 one, 1 one and a half, 2 two; the wire: 1 one, 2 two, 3 one and a half.
BYTE StopBitsToWire(BYTE dcbStopBits) {
  switch (dcbStopBits) {
    case 1:
      return kStopOneAndHalf;
    case 2:
      return kStopTwo;
    default:
      return kStopOne;
  }
}

std::optional<BYTE> StopBitsFromWire(BYTE wire) {
  switch (wire) {
    case kStopOne:
      return BYTE{0};
    case kStopTwo:
      return BYTE{2};
    case kStopOneAndHalf:
      return BYTE{1};
    default:
      return std::nullopt;
  }
}

std::vector<BYTE> WithValue32(BYTE command, std::uint32_t value) {
  return {command, static_cast<BYTE>(value >> 24), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
}

std::optional<std::uint32_t> Value32(std::span<const BYTE> value) {
  if (value.size() != 4) return std::nullopt;
  return std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
         std::uint32_t{value[2]} << 8 | value[3];
}

}  // namespace platform::net::rfc2217
