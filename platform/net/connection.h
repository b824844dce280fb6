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
// (ENOENT when the host has no address, ETIMEDOUT when time ran out). The connection sends
// keep-alive probes once it has been quiet for kKeepAliveIdle, one every kKeepAliveInterval,
// and the kernel ends it (ETIMEDOUT) after kKeepAliveCount unanswered ones: an idle peer that
// is gone is noticed within seconds. Where the kernel allows it, retransmissions and window
// probes are at most kProbeSpacingMax apart, so that PeerGone answers as fast after a long
// hold as after a short one.
int Connect(const RemoteAddress& address, std::chrono::milliseconds limit, int& error);

inline constexpr std::chrono::seconds kKeepAliveIdle{5};
inline constexpr std::chrono::seconds kKeepAliveInterval{1};
inline constexpr int kKeepAliveCount = 3;
inline constexpr std::chrono::milliseconds kProbeSpacingMax{1000};

// Puts the keep-alive and probe spacing above on a connected socket (Connect does it for its
// own; a server does it for the connections it accepts).
void WatchThePeer(int fd);

// Whether the peer of a connection with data waiting to go has stopped answering: the kernel
// has sent kDeadProbes window or keep-alive probes, or kDeadRetransmissions retransmissions,
// in a row without an answer. A peer that is there but keeps its window shut (a server that
// does not read) answers every probe and is never taken as gone; there is no time limit on
// how long it may hold the data.
inline constexpr int kDeadProbes = 3;
inline constexpr int kDeadRetransmissions = 5;
bool PeerGone(int fd);

}  // namespace platform::net
