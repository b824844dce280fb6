// A remote COM port's settings as commands of the telnet COM-port option (RFC 2217), and the
// server's answers back as settings: the platform's DCB on one side, the option's commands and
// values on the other.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/net/rfc2217_client.h"
#include "platform/win32/windows.h"

namespace platform::win32::rfc2217_settings {

using platform::net::rfc2217::Slot;

// The server's answers of one exchange, by what they report on.
using Answers = std::array<std::optional<std::uint32_t>, static_cast<std::size_t>(Slot::kCount)>;

// One command: its code and value (none for NOTIFY-MODEMSTATE, which asks for the lines).
struct Request {
  BYTE command;
  std::vector<BYTE> value;
};

Request Ask(BYTE command, BYTE value);
Request AskRate(std::uint32_t rate);  // 0 asks for the rate in force
Slot SlotOf(const Request& request);

// The commands that put the DCB's settings on the line: control lines and flow control first,
// then the line settings, the rate last (every server answers it).
std::vector<Request> StateRequests(const DCB& dcb);
// The commands of an open: DTR and RTS raised, and questions for everything else.
std::vector<Request> OpeningRequests();

// Whether an answered request got what it asked; an unanswered one was passed over.
bool Granted(const Answers& answers, const Request& request);
// The settings in force: `dcb` with every answered setting put in.
DCB InForce(DCB dcb, const Answers& answers);

// The line-status bits of NOTIFY-LINESTATE as the platform's receive errors (CE_*).
DWORD ReceiveErrors(BYTE state);

}  // namespace platform::win32::rfc2217_settings
