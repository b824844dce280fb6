// The two frame checks of ZModem, table-driven, one byte per step.
#pragma once

#include <cstdint>

namespace sim::modem {

// CRC-16/XMODEM: polynomial 0x1021, preset 0, MSB first. Run over the covered bytes and then the
// two CRC bytes as received (high first), the register ends at 0 when they agree.
std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t byte);

// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, preset all ones, complemented when
// sent, low byte first. Run over the covered bytes and the four received CRC bytes from all
// ones, the register ends at kCrc32Residue when they agree.
std::uint32_t Crc32Step(std::uint32_t crc, std::uint8_t byte);
inline constexpr std::uint32_t kCrc32Residue = 0xDEBB20E3;

}  // namespace sim::modem
