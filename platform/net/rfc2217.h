// The telnet COM-port option (RFC 2217, option 44): commands in subnegotiations whose first
// payload byte names them, as the client sends them; the server acknowledges each with the same
// command plus kServerOffset, carrying the value now in force.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/base/types.h"

namespace platform::net::rfc2217 {

enum Command : BYTE {
  kSignature = 0,
  kSetBaudRate = 1,  // 4 bytes, big-endian; 0 asks for the current rate
  kSetDataSize = 2,  // 5..8; 0 asks
  kSetParity = 3,    // kParity...; 0 asks
  kSetStopSize = 4,  // kStop...; 0 asks
  kSetControl = 5,   // kControl...
  kNotifyLineState = 6,
  kNotifyModemState = 7,  // from the client with no value: asks for the modem state
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,  // kPurge...
};
constexpr BYTE kServerOffset = 100;

constexpr BYTE kParityNone = 1;
constexpr BYTE kParityOdd = 2;
constexpr BYTE kParityEven = 3;
constexpr BYTE kParityMark = 4;
constexpr BYTE kParitySpace = 5;

constexpr BYTE kStopOne = 1;
constexpr BYTE kStopTwo = 2;
constexpr BYTE kStopOneAndHalf = 3;

// SET-CONTROL values.
constexpr BYTE kControlRequestFlow = 0;
constexpr BYTE kControlFlowNone = 1;
constexpr BYTE kControlFlowXonXoff = 2;
constexpr BYTE kControlFlowHardware = 3;
constexpr BYTE kControlRequestBreak = 4;
constexpr BYTE kControlBreakOn = 5;
constexpr BYTE kControlBreakOff = 6;
constexpr BYTE kControlRequestDtr = 7;
constexpr BYTE kControlDtrOn = 8;
constexpr BYTE kControlDtrOff = 9;
constexpr BYTE kControlRequestRts = 10;
constexpr BYTE kControlRtsOn = 11;
constexpr BYTE kControlRtsOff = 12;
constexpr BYTE kControlRequestInboundFlow = 13;
constexpr BYTE kControlInboundNone = 14;
constexpr BYTE kControlInboundXonXoff = 15;
constexpr BYTE kControlInboundHardware = 16;

// Modem-state bits: the lines in the high nibble (the same bits as the platform's MS_CTS_ON,
// MS_DSR_ON, MS_RING_ON, MS_RLSD_ON), their changes in the low one.
constexpr BYTE kModemCd = 0x80;
constexpr BYTE kModemRi = 0x40;
constexpr BYTE kModemDsr = 0x20;
constexpr BYTE kModemCts = 0x10;
constexpr BYTE kModemDeltaCd = 0x08;
constexpr BYTE kModemTrailingRi = 0x04;
constexpr BYTE kModemDeltaDsr = 0x02;
constexpr BYTE kModemDeltaCts = 0x01;

constexpr BYTE kPurgeReceive = 1;
constexpr BYTE kPurgeTransmit = 2;
constexpr BYTE kPurgeBoth = 3;

// The modem-state byte for lines that were `before` and are `now` (high-nibble bits): the
// lines, each change flagged, and a ring that ended as its trailing edge.
BYTE ModemStateChange(BYTE before, BYTE now);

// The platform's DCB parity (NOPARITY .. SPACEPARITY) and stop bits (ONESTOPBIT, ONE5STOPBITS,
// TWOSTOPBITS) on the wire and back; none for a wire value that has no meaning.
BYTE ParityToWire(BYTE dcbParity);
std::optional<BYTE> ParityFromWire(BYTE wire);
BYTE StopBitsToWire(BYTE dcbStopBits);
std::optional<BYTE> StopBitsFromWire(BYTE wire);

// A command's payload with a 32-bit value, big-endian (SET-BAUDRATE), and its value back.
std::vector<BYTE> WithValue32(BYTE command, std::uint32_t value);
std::optional<std::uint32_t> Value32(std::span<const BYTE> value);

}  // namespace platform::net::rfc2217
