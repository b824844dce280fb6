// The remote backend of the COM-port stand-in: a CommBackend over a TCP connection to a server
// of the telnet COM-port option (RFC 2217), for a dosdevices link whose target is the text
// "rfc2217://HOST:PORT".
//
// Requests that change the line go to the server as commands and wait for its answers, each at
// most kAnswerTime; an answer with another value than asked is a refusal, and the call fails
// with the settings then in force kept. A server answers in the order it was asked, so each
// exchange ends with a command every server answers (the rate), and once that answer is in, a
// command still unanswered was passed over: a server whose device has no DTR or RTS (a
// pseudo-terminal) says nothing of them, as such a tty refuses them silently.
//
// Received bytes come from a pump thread, a plain std::thread that the clock does not know: the
// backend serves the real clock only, as the tty backend does. While the port's receive queue
// is full (or before the port is attached) received bytes wait in a backlog, and once that is
// full the pump stops reading from the server, whose data then waits in the network: nothing is
// lost and a flood takes bounded memory. Answers behind a full backlog wait with the data. A server
// that breaks the telnet protocol, floods the client with negotiation while not reading, or drops
// the connection disconnects the port: pending and later requests fail with
// ERROR_DEVICE_NOT_CONNECTED. So does a server that is gone without a word (its host or the
// network down): a write held because the server does not read is held for as long as the
// server answers the kernel's probes, and fails once it stops answering them (see
// net::PeerGone); an idle connection is watched by TCP keep-alive (net::Connect).
//
// A write completes once its bytes are handed to the network. The modem lines are those the
// server last notified (NOTIFY-MODEMSTATE), each change an event for WaitCommEvent, unless the
// platform root declares the lines beside the link ("dosdevices/com5.lines"), for a server
// whose device reports none.
//
// What a remote port cannot do: SETXON and SETXOFF (the option has no command that acts on the
// server's transmitter), DTR handshake (DTR is on), RTS toggle (RTS is left as it is).
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/net/connection.h"
#include "platform/net/rfc2217_client.h"
#include "platform/win32/comm.h"
#include "platform/win32/comm_device.h"
#include "platform/win32/comm_rfc2217_settings.h"
#include "platform/win32/files.h"

namespace platform::win32 {
namespace {

namespace net = platform::net;
namespace rfc = platform::net::rfc2217;
using platform::clock::Lock;
using namespace rfc2217_settings;

constexpr auto kConnectTime = std::chrono::milliseconds(3000);
constexpr auto kAnswerTime = std::chrono::seconds(3);
// How long a close waits for queued bytes to reach the network.
constexpr auto kCloseFlushTime = std::chrono::seconds(1);
// Data bytes a write may have queued for the server; more wait for room.
constexpr std::size_t kSendRoom = 4096;
// Queued bytes beyond which a server that does not read is taken as gone.
constexpr std::size_t kOutLimit = 64 * 1024;
// Received bytes kept while the port's queue is full (or before it is attached); with more the
// pump stops reading from the server.
constexpr std::size_t kBacklogLimit = 64 * 1024;
// How often a pump that stopped reading looks for room again, should no read wake it (the
// purge of the receive queue, a larger queue).
constexpr int kThrottleMs = 10;
// How often a pump with bytes waiting for the server asks the kernel whether it still answers.
constexpr int kPeerCheckMs = 500;

bool FailWith(DWORD error) {
  SetLastError(error);
  return false;
}

DWORD ConnectError(int error) {
  switch (error) {
    case ENOENT:  // the host has no address
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return ERROR_FILE_NOT_FOUND;  // nobody serves the port there
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    default:
      return ErrorFromErrno(error);
  }
}

// ---------------------------------------------------------------------------------------------
// The backend

class RemotePort final : public CommBackend, rfc::ClientSink {
 public:
  RemotePort(std::string link, int socket, int wake)
      : link_(std::move(link)), socket_(socket), wake_(wake) {}
  ~RemotePort() override { Close(); }
  RemotePort(const RemotePort&) = delete;
  RemotePort& operator=(const RemotePort&) = delete;

  bool Start();

  void Attach(CommPort* port) override;
  void Detach() override { port_ = nullptr; }
  bool ApplyState(const DCB& dcb) override;
  bool ReadState(DCB& dcb) override;
  bool Escape(DWORD function) override;
  bool Setup(DWORD, DWORD) override { return true; }
  COMMTIMEOUTS LoadTimeouts() override;
  void StoreTimeouts(const COMMTIMEOUTS& timeouts) override;
  bool ModemStatus(DWORD& status) override;
  void Purge(DWORD flags) override;
  std::size_t Transmit(std::span<const BYTE> bytes) override;
  bool Drained() override;
  void RoomFreedLocked() override { Wake(); }
  void Close() override;

 private:
  bool Negotiate();
  bool Exchange(const std::vector<Request>& requests, Answers& answers);
  bool Settle(const DCB& wanted, const std::vector<Request>& requests, const Answers& answers);

  void OnData(std::span<const BYTE> bytes) override;
  void OnAnswer(Slot slot, std::uint32_t value) override;
  void OnModemState(BYTE lines) override;
  void OnLineState(BYTE state) override;

  void Pump();
  std::size_t FlushBacklog();
  std::size_t FlushBacklogLocked();
  bool Receive(std::size_t room);
  bool Send();
  void Deliver();
  void Disconnect();
  void Wake() { ::eventfd_write(wake_, 1); }

  const std::string link_;
  int socket_;
  int wake_;  // an eventfd that interrupts the pump's poll
  std::thread pump_;
  std::atomic<bool> stopping_{false};
  std::mutex exchanging_;  // one exchange at a time

  // The pump thread's: the protocol, and what one chunk from the server brought.
  rfc::ClientStream stream_;
  std::vector<BYTE> incoming_;
  std::optional<BYTE> newLines_;
  DWORD lineErrors_ = 0;

  std::mutex mutex_;  // guards the fields below up to port_
  std::condition_variable changed_;
  std::vector<BYTE> out_;   // bytes for the server, in order
  bool wantRoom_ = false;   // a write waits for room in out_
  bool wantDrain_ = false;  // a write waits for out_ to empty
  Answers answers_;
  bool ready_ = false;    // the server took the option
  bool refused_ = false;  // the server refused it
  bool gone_ = false;
  std::optional<DWORD> lines_;  // MS_*_ON as last notified
  std::optional<DWORD> declaredLines_;
  DCB dcb_ = DefaultLineSettings();
  COMMTIMEOUTS timeouts_{};
  bool configured_ = false;

  // Under the clock's mutex:
  CommPort* port_ = nullptr;
  bool attached_ = false;
  bool disconnected_ = false;
  std::vector<BYTE> backlog_;  // received, not yet taken by the port
};

// Greets the server, waits for it to take the option, and sets the line: as this process last
// left it, else as the server has it, with DTR and RTS raised as opening a COM port does.
bool RemotePort::Start() {
  platform::clock::RequireRealTime(link_);
  declaredLines_ = DeclaredLines(link_ + ".lines");
  stream_.Greet(out_);
  try {
    pump_ = std::thread([this] { Pump(); });
  } catch (const std::system_error&) {
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!Negotiate()) return false;
  std::optional<KeptSettings> kept = RecallSettings(link_);
  if (kept) {
    StoreTimeouts(kept->timeouts);
    // What the server refuses stays as the server has it.
    return ApplyState(kept->dcb) || GetLastError() == ERROR_INVALID_PARAMETER;
  }
  std::vector<Request> requests = OpeningRequests();
  Answers answers;
  if (!Exchange(requests, answers)) return false;
  std::lock_guard lock(mutex_);
  dcb_ = InForce(DefaultLineSettings(), answers);
  configured_ = true;
  return true;
}

bool RemotePort::Negotiate() {
  std::unique_lock lock(mutex_);
  Wake();
  bool settled =
      changed_.wait_for(lock, kAnswerTime, [this] { return gone_ || ready_ || refused_; });
  if (refused_) return FailWith(ERROR_NOT_SUPPORTED);
  if (gone_) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
  if (!settled) return FailWith(ERROR_SEM_TIMEOUT);
  return true;
}

// Sends the requests and waits for the answer to the last one, which every server gives.
bool RemotePort::Exchange(const std::vector<Request>& requests, Answers& answers) {
  std::lock_guard exchange(exchanging_);
  std::unique_lock lock(mutex_);
  if (gone_) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
  for (const Request& request : requests) {
    answers_[static_cast<std::size_t>(SlotOf(request))].reset();
    rfc::AppendCommand(out_, request.command, request.value);
  }
  Wake();
  auto fence = static_cast<std::size_t>(SlotOf(requests.back()));
  bool answered = changed_.wait_for(lock, kAnswerTime, [&] { return gone_ || answers_[fence]; });
  if (gone_) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
  if (!answered) return FailWith(ERROR_SEM_TIMEOUT);
  answers = answers_;
  return true;
}

void RemotePort::Attach(CommPort* port) {
  port_ = port;
  attached_ = true;
  Wake();  // the pump may wait for room
  if (disconnected_) port->DisconnectLocked();
}

// Control lines and flow control first, then the line settings, the rate last.
bool RemotePort::ApplyState(const DCB& dcb) {
  std::vector<Request> requests = StateRequests(dcb);
  Answers answers;
  if (!Exchange(requests, answers)) return false;
  return Settle(dcb, requests, answers);
}

// Keeps the settings now in force; a refused one fails the call.
bool RemotePort::Settle(const DCB& wanted, const std::vector<Request>& requests,
                        const Answers& answers) {
  bool granted = std::all_of(requests.begin(), requests.end(),
                             [&](const Request& request) { return Granted(answers, request); });
  std::lock_guard lock(mutex_);
  dcb_ = InForce(wanted, answers);
  dcb_.DCBlength = sizeof(DCB);
  configured_ = true;
  return granted || FailWith(ERROR_INVALID_PARAMETER);
}

bool RemotePort::ReadState(DCB& dcb) {
  std::lock_guard lock(mutex_);
  dcb = dcb_;
  return true;
}

bool RemotePort::Escape(DWORD function) {
  BYTE control;
  switch (function) {
    case SETDTR:
      control = rfc::kControlDtrOn;
      break;
    case CLRDTR:
      control = rfc::kControlDtrOff;
      break;
    case SETRTS:
      control = rfc::kControlRtsOn;
      break;
    case CLRRTS:
      control = rfc::kControlRtsOff;
      break;
    case SETBREAK:
      control = rfc::kControlBreakOn;
      break;
    case CLRBREAK:
      control = rfc::kControlBreakOff;
      break;
    case SETXON:
    case SETXOFF:
      return FailWith(ERROR_NOT_SUPPORTED);
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
  std::vector<Request> requests{Ask(rfc::kSetControl, control), AskRate(0)};
  Answers answers;
  if (!Exchange(requests, answers)) return false;
  return Granted(answers, requests.front()) || FailWith(ERROR_INVALID_PARAMETER);
}

COMMTIMEOUTS RemotePort::LoadTimeouts() {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

void RemotePort::StoreTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
}

bool RemotePort::ModemStatus(DWORD& status) {
  std::lock_guard lock(mutex_);
  if (gone_) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
  if (declaredLines_) {
    status = *declaredLines_;
  } else if (lines_) {
    status = *lines_;
  } else {
    return FailWith(ERROR_INVALID_PARAMETER);  // the server never told them
  }
  return true;
}

// Received bytes the server still holds are dropped with the port's own; bytes of writes are
// not taken back from the server (a completed write's bytes have left, as on a tty).
void RemotePort::Purge(DWORD flags) {
  if (!(flags & PURGE_RXCLEAR)) return;
  std::lock_guard lock(mutex_);
  if (gone_) return;
  rfc::AppendCommand(out_, rfc::kPurgeData, rfc::kPurgeReceive);
  Wake();
}

std::size_t RemotePort::Transmit(std::span<const BYTE> bytes) {
  std::lock_guard lock(mutex_);
  if (gone_ || bytes.empty()) return 0;
  std::size_t room = out_.size() < kSendRoom ? kSendRoom - out_.size() : 0;
  std::size_t taken = std::min(room, bytes.size());
  net::AppendData(out_, bytes.first(taken));
  if (taken < bytes.size()) wantRoom_ = true;
  if (taken > 0) Wake();
  return taken;
}

bool RemotePort::Drained() {
  std::lock_guard lock(mutex_);
  if (out_.empty() || gone_) return true;
  wantDrain_ = true;
  return false;
}

// Gives queued bytes a moment to go, stops the pump and hangs up.
void RemotePort::Close() {
  if (socket_ < 0) return;
  if (pump_.joinable()) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, kCloseFlushTime, [this] { return gone_ || out_.empty(); });
    }
    stopping_ = true;
    Wake();
    pump_.join();
  }
  {
    std::lock_guard lock(mutex_);
    if (configured_) KeepSettings(link_, KeptSettings{dcb_, dcb_.BaudRate, timeouts_});
  }
  ::close(socket_);
  ::close(wake_);
  socket_ = -1;
  wake_ = -1;
}

// ---------------------------------------------------------------------------------------------
// What the server says, in the pump thread

void RemotePort::OnData(std::span<const BYTE> bytes) {
  incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
}

void RemotePort::OnAnswer(Slot slot, std::uint32_t value) {
  std::lock_guard lock(mutex_);
  answers_[static_cast<std::size_t>(slot)] = value;
  changed_.notify_all();
}

void RemotePort::OnModemState(BYTE lines) {
  newLines_ = lines;  // the platform's MS_*_ON bits are the wire's
}

void RemotePort::OnLineState(BYTE state) {
  lineErrors_ |= ReceiveErrors(state);
}

// Hands what a chunk brought to the port: its data, then its line changes and errors.
void RemotePort::Deliver() {
  std::optional<DWORD> before;
  std::optional<BYTE> now = std::exchange(newLines_, std::nullopt);
  if (now) {
    std::lock_guard lock(mutex_);
    before = lines_;
    lines_ = *now;
  }
  Lock lock(platform::clock::Current().Mutex());
  backlog_.insert(backlog_.end(), incoming_.begin(), incoming_.end());
  incoming_.clear();
  FlushBacklogLocked();
  if (port_ == nullptr) return;
  if (now && before && !declaredLines_) port_->LinesChangedLocked(*before, *now);
  if (lineErrors_ != 0) port_->LineErrorsLocked(std::exchange(lineErrors_, 0));
}

// ---------------------------------------------------------------------------------------------
// The pump thread

void RemotePort::Pump() {
  for (;;) {
    std::size_t room = FlushBacklog();
    bool output;
    {
      std::lock_guard lock(mutex_);
      output = !out_.empty();
    }
    // While there is no room, the connection is not even watched for a hang-up, which would
    // wake the poll at once: its last bytes are read when room comes.
    short events = static_cast<short>((room > 0 ? POLLIN : 0) | (output ? POLLOUT : 0));
    pollfd fds[2] = {{events != 0 ? socket_ : -1, events, 0}, {wake_, POLLIN, 0}};
    // While bytes wait to go, the pump also looks whether the server still answers.
    int wait = room > 0 ? -1 : kThrottleMs;
    if (output && (wait < 0 || wait > kPeerCheckMs)) wait = kPeerCheckMs;
    if (::poll(fds, 2, wait) < 0) {
      if (errno == EINTR) continue;
      return Disconnect();
    }
    if (fds[1].revents != 0) {
      eventfd_t ignored;
      ::eventfd_read(wake_, &ignored);
      if (stopping_) return;
    }
    short ready = fds[0].revents;
    if ((ready & (POLLIN | POLLHUP | POLLERR)) && !Receive(room)) return Disconnect();
    if ((ready & POLLOUT) && !Send()) return Disconnect();
    if (ready & POLLNVAL) return Disconnect();
    if (output && net::PeerGone(socket_)) return Disconnect();
  }
}

// Hands the port what its receive queue takes; returns how many more bytes the pump may read
// from the server. The bytes of a port that has been detached go nowhere.
std::size_t RemotePort::FlushBacklog() {
  Lock lock(platform::clock::Current().Mutex());
  return FlushBacklogLocked();
}

std::size_t RemotePort::FlushBacklogLocked() {
  if (port_ != nullptr && !backlog_.empty()) {
    std::size_t taken = std::min<std::size_t>(port_->ReceiveRoomLocked(), backlog_.size());
    port_->DeliverLocked(std::span<const BYTE>(backlog_.data(), taken));
    backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(taken));
  } else if (attached_ && port_ == nullptr) {
    backlog_.clear();
  }
  return kBacklogLimit - std::min(kBacklogLimit, backlog_.size());
}

// Reads at most `room` bytes (they hold no more data bytes than that); false when the server
// hung up or broke the protocol.
bool RemotePort::Receive(std::size_t room) {
  BYTE buffer[4096];
  ssize_t count;
  do {
    count = ::recv(socket_, buffer, std::min(room, sizeof buffer), MSG_DONTWAIT);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return errno == EAGAIN;
  if (count == 0) return false;
  std::vector<BYTE> replies;
  bool good =
      stream_.Feed(std::span<const BYTE>(buffer, static_cast<std::size_t>(count)), *this, replies);
  Deliver();
  std::lock_guard lock(mutex_);
  out_.insert(out_.end(), replies.begin(), replies.end());
  ready_ = stream_.Ready();
  refused_ = stream_.Refused();
  changed_.notify_all();  // the negotiation may have settled
  return good && out_.size() <= kOutLimit;
}

// Sends what the socket takes; calls the port back when a write waits for room or a drain.
bool RemotePort::Send() {
  bool ready = false;
  {
    std::lock_guard lock(mutex_);
    ssize_t sent = ::send(socket_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EINTR;
    out_.erase(out_.begin(), out_.begin() + sent);
    if (wantRoom_ && out_.size() < kSendRoom) {
      wantRoom_ = false;
      ready = true;
    }
    if (wantDrain_ && out_.empty()) {
      wantDrain_ = false;
      ready = true;
    }
    changed_.notify_all();
  }
  if (ready) CommPort::TransmitReadyOf(port_);
  return true;
}

void RemotePort::Disconnect() {
  {
    std::lock_guard lock(mutex_);
    gone_ = true;
    changed_.notify_all();
  }
  {
    Lock lock(platform::clock::Current().Mutex());
    disconnected_ = true;
    if (port_ != nullptr) port_->DisconnectLocked();
  }
}

}  // namespace

std::shared_ptr<CommBackend> OpenRemoteBackend(const std::string& link, const std::string& target) {
  std::optional<net::RemoteAddress> address = net::ParseRemoteTarget(target);
  if (!address) {
    SetLastError(ERROR_BAD_PATHNAME);
    return nullptr;
  }
  int error = 0;
  int fd = net::Connect(*address, kConnectTime, error);
  if (fd < 0) {
    SetLastError(ConnectError(error));
    return nullptr;
  }
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    SetLastError(ErrorFromErrno(errno));
    ::close(fd);
    return nullptr;
  }
  auto port = std::make_shared<RemotePort>(link, fd, wake);
  if (!port->Start()) {
    DWORD error = GetLastError();
    port->Close();
    SetLastError(error);
    return nullptr;
  }
  return port;
}

}  // namespace platform::win32
