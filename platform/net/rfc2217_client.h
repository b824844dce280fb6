// The client end of a remote COM port (RFC 2217): the options it asks for when it connects,
// its answers to the server's negotiation, and what it makes of the server's stream: data, the
// server's answers to commands, and its notifications of the modem and line states. Pure
// protocol: the COM-port stand-in's remote backend moves the bytes and waits for the answers.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/net/rfc2217.h"
#include "platform/net/telnet.h"

namespace platform::net::rfc2217 {

// What a command's answer reports on. SET-CONTROL has several: its values come in groups (the
// outbound flow control, break, DTR, RTS, the inbound flow control), each answered with the
// group's value in force.
enum class Slot {
  kRate,
  kDataSize,
  kParity,
  kStopSize,
  kFlow,
  kBreak,
  kDtr,
  kRts,
  kInboundFlow,
  kPurge,
  kCount
};

// The slot a command with this first value byte is answered in (SET-CONTROL's by its value).
Slot SlotOf(BYTE command, BYTE value);

// What the client learns from the server.
class ClientSink {
 public:
  virtual ~ClientSink() = default;
  virtual void OnData(std::span<const BYTE> bytes) = 0;
  // The answer to a command: the value in force (SET-BAUDRATE's 32 bits, else one byte).
  virtual void OnAnswer(Slot slot, std::uint32_t value) = 0;
  // NOTIFY-MODEMSTATE: the lines (kModemCd, kModemRi, kModemDsr, kModemCts) now.
  virtual void OnModemState(BYTE lines) = 0;
  // NOTIFY-LINESTATE: the receiver's error bits (kLine...).
  virtual void OnLineState(BYTE state) = 0;
};

// NOTIFY-LINESTATE bits of receive errors.
constexpr BYTE kLineOverrun = 0x02;
constexpr BYTE kLineParity = 0x04;
constexpr BYTE kLineFraming = 0x08;
constexpr BYTE kLineBreak = 0x10;

class ClientStream : TelnetSink {
 public:
  // The client's first words: it will speak the COM-port option, and asks for binary data both
  // ways (a ZModem image is 8-bit data; a telnet stream that is not binary may alter CR and
  // NUL) and no go-aheads.
  void Greet(std::vector<BYTE>& out);

  // Takes bytes from the server: data, answers and notifications to `sink`, the client's
  // replies to negotiation appended to `replies`. False when the server broke the protocol.
  bool Feed(std::span<const BYTE> bytes, ClientSink& sink, std::vector<BYTE>& replies);

  // The server took the COM-port option and binary data both ways: commands may go.
  bool Ready() const;
  // The server refused one of them: the port cannot work.
  bool Refused() const { return refused_; }

 private:
  void OnData(std::span<const BYTE> bytes) override;
  void OnNegotiation(BYTE verb, BYTE option) override;
  void OnSubnegotiation(BYTE option, std::span<const BYTE> payload) override;
  void ServerCommand(BYTE command, std::span<const BYTE> value);

  TelnetReader reader_;
  ClientSink* sink_ = nullptr;
  std::vector<BYTE>* replies_ = nullptr;
  // Per option: the client does it (the server said DO), the server does it (it said WILL),
  // and the client asked and awaits the answer.
  std::array<bool, 256> ours_{};
  std::array<bool, 256> theirs_{};
  std::array<bool, 256> askedOurs_{};
  std::array<bool, 256> askedTheirs_{};
  bool refused_ = false;
};

// IAC SB COM-PORT command value IAC SE.
void AppendCommand(std::vector<BYTE>& out, BYTE command, std::span<const BYTE> value);
inline void AppendCommand(std::vector<BYTE>& out, BYTE command, BYTE value) {
  AppendCommand(out, command, std::span(&value, 1));
}

}  // namespace platform::net::rfc2217
