// The TCP connection to a remote COM port, as a dosdevices link names it:
// "rfc2217://HOST:PORT", HOST a name, an IPv4 address or a bracketed IPv6 one.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace platform::net {

struct RemoteAddress {
  std::string host;
  std::string port;
};

// Whether `target` is meant as a remote port (it starts with "rfc2217://").
bool NamesRemotePort(std::string_view target);
// The address, or none when the text is no valid one.
std::optional<RemoteAddress> ParseRemoteTarget(std::string_view target);

// A connected, non-blocking socket within `limit`, or -1 with `error` an errno value
// (ENOENT when the host has no address, ETIMEDOUT when time ran out).
int Connect(const RemoteAddress& address, std::chrono::milliseconds limit, int& error);

}  // namespace platform::net
