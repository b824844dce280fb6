// The telnet byte stream that carries a remote COM port (RFC 854/855): data with the byte 255
// (IAC) doubled, option negotiation (IAC WILL/WONT/DO/DONT option) and subnegotiations
// (IAC SB option payload IAC SE). Both ends of a remote port, the server of mdmsim and the
// client of the COM-port stand-in, read and write it with this code.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "platform/base/types.h"

namespace platform::net {

constexpr BYTE kIac = 255;
constexpr BYTE kDont = 254;
constexpr BYTE kDo = 253;
constexpr BYTE kWont = 252;
constexpr BYTE kWill = 251;
constexpr BYTE kSb = 250;
constexpr BYTE kSe = 240;

constexpr BYTE kOptionBinary = 0;
constexpr BYTE kOptionEcho = 1;
constexpr BYTE kOptionSuppressGoAhead = 3;
constexpr BYTE kOptionComPort = 44;

// What the reader finds in the stream, in order.
class TelnetSink {
 public:
  virtual ~TelnetSink() = default;
  // Data bytes, unescaped.
  virtual void OnData(std::span<const BYTE> bytes) = 0;
  // IAC WILL/WONT/DO/DONT option.
  virtual void OnNegotiation(BYTE verb, BYTE option) = 0;
  // IAC SB option payload IAC SE, the payload unescaped.
  virtual void OnSubnegotiation(BYTE option, std::span<const BYTE> payload) = 0;
};

// Splits a telnet stream into data, negotiations and subnegotiations, whatever the chunks it
// arrives in. Other telnet commands (NOP, GA, ...) are skipped.
class TelnetReader {
 public:
  // No subnegotiation this system knows carries more; a longer one is a broken stream.
  static constexpr std::size_t kMaxPayload = 256;

  // Hands everything complete in `bytes` to `sink`. False when the stream broke the protocol
  // (a subnegotiation too long, or ended by anything but IAC SE); the reader then takes
  // nothing more.
  bool Feed(std::span<const BYTE> bytes, TelnetSink& sink);
  bool broken() const { return state_ == State::kBroken; }

 private:
  enum class State { kData, kCommand, kOption, kSubOption, kSubData, kSubCommand, kBroken };

  bool Take(BYTE byte, TelnetSink& sink, std::vector<BYTE>& data);

  State state_ = State::kData;
  BYTE verb_ = 0;
  BYTE subOption_ = 0;
  std::vector<BYTE> payload_;
};

// Appends data bytes with every IAC doubled.
void AppendData(std::vector<BYTE>& out, std::span<const BYTE> bytes);
void AppendNegotiation(std::vector<BYTE>& out, BYTE verb, BYTE option);
// IAC SB option payload IAC SE, IAC in the payload doubled.
void AppendSubnegotiation(std::vector<BYTE>& out, BYTE option, std::span<const BYTE> payload);

}  // namespace platform::net
