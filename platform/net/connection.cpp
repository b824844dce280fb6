#include "platform/net/connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace platform::net {
namespace {

constexpr std::string_view kScheme = "rfc2217://";
using Clock = std::chrono::steady_clock;
// The per-socket bound of the retransmission time-out (Linux 6.15 on); older kernels refuse it
// and keep their own bound of two minutes.
constexpr int kTcpRtoMaxMs = 44;

void SetOption(int fd, int level, int name, int value) {
  ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

// Keep-alive, and the spacing of probes where the kernel allows a bound.
void WatchThePeer(int fd) {
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(kKeepAliveIdle.count()));
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(kKeepAliveInterval.count()));
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveCount);
  SetOption(fd, IPPROTO_TCP, kTcpRtoMaxMs, static_cast<int>(kProbeSpacingMax.count()));
}

namespace {

int ConnectTo(const addrinfo& address, Clock::time_point deadline, int& error) {
  int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd wait{fd, POLLOUT, 0};
      int ready = ::poll(&wait, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      socklen_t length = sizeof error;
      if (ready <= 0) {
        error = ETIMEDOUT;
      } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
    }
  }
  if (error != 0) {
    ::close(fd);
    return -1;
  }
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);  // commands are small and waited for
  WatchThePeer(fd);
  return fd;
}

}  // namespace

bool NamesRemotePort(std::string_view target) {
  return target.substr(0, kScheme.size()) == kScheme;
}

std::optional<RemoteAddress> ParseRemoteTarget(std::string_view target) {
  if (!NamesRemotePort(target)) return std::nullopt;
  target.remove_prefix(kScheme.size());
  std::size_t colon = target.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = target.substr(0, colon);
  std::string_view port = target.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  }
  unsigned number = 0;
  auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (failure != std::errc{} || end != port.data() + port.size() || number == 0 || number > 65535) {
    return std::nullopt;
  }
  return RemoteAddress{std::string(host), std::string(port)};
}

int Connect(const RemoteAddress& address, std::chrono::milliseconds limit, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0) {
    error = ENOENT;
    return -1;
  }
  auto deadline = Clock::now() + limit;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ConnectTo(*a, deadline, error);
  }
  ::freeaddrinfo(found);
  return fd;
}

bool PeerGone(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  return info.tcpi_probes >= kDeadProbes || info.tcpi_retransmits >= kDeadRetransmissions;
}

}  // namespace platform::net
