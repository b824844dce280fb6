#include "tools/mdmsim/served_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/base/abrupt_end.h"
#include "platform/base/root.h"
#include "platform/net/connection.h"

namespace mdmsim {
namespace {

constexpr DWORD kReadWaitMs = 50;  // a read ends at its first byte, or after this
constexpr DWORD kMaxDword = 0xFFFFFFFF;
constexpr int kPollMs = 20;
constexpr int kDtrDropMs = 100;  // DTR off between one program of the port and the next
constexpr std::size_t kChunk = 4096;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Sends all of `bytes` to a non-blocking socket, waiting while it is full; false when it fails
// or stays full for a second (the client does not read: it is dropped).
bool SendAll(int fd, const BYTE* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t done = ::send(fd, bytes, count, MSG_NOSIGNAL);
    if (done > 0) {
      bytes += done;
      count -= static_cast<std::size_t>(done);
      continue;
    }
    if (done < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd wait{fd, POLLOUT, 0};
    if (::poll(&wait, 1, 1000) <= 0) return false;
  }
  return true;
}

// "127.0.0.1:40312", the address a client connects from.
std::string PeerName(int socket) {
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  char address[INET_ADDRSTRLEN] = "?";
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "?";
  ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
  return std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace

std::unique_ptr<ServedPort> ServedPort::Start(const std::string& comName, std::uint16_t tcpPort,
                                              Say say, std::string& error) {
  std::unique_ptr<ServedPort> served(new ServedPort);
  served->name_ = comName;
  served->say_ = std::move(say);
  served->link_ = platform::Root() / "dosdevices" / Lower(comName);
  if (!served->OpenPort(comName, error) || !served->OpenTerminal(error) || !served->Link(error) ||
      (tcpPort != 0 && !served->Listen(tcpPort, error))) {
    return nullptr;
  }
  served->output_ = std::thread([raw = served.get()] { raw->OutputLoop(); });
  served->input_ = std::thread([raw = served.get()] { raw->InputLoop(); });
  return served;
}

ServedPort::~ServedPort() {
  stopping_ = true;
  if (input_.joinable()) input_.join();
  if (output_.joinable()) output_.join();
  DropClient();
  if (listener_ >= 0) ::close(listener_);
  if (linked_) {
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    std::filesystem::remove(LinesFile(), ignored);
    platform::ForgetAtAbruptEnd(link_);
    platform::ForgetAtAbruptEnd(LinesFile());
  }
  if (master_ >= 0) ::close(master_);
  if (port_ != nullptr) {
    PurgeComm(port_, PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR);
    EscapeCommFunction(port_, CLRDTR);
    CloseHandle(port_);
  }
  if (readEvent_ != nullptr) CloseHandle(readEvent_);
  if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
}

bool ServedPort::OpenPort(const std::string& comName, std::string& error) {
  port_ = CreateFileA(comName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, nullptr);
  if (port_ == INVALID_HANDLE_VALUE) {
    port_ = nullptr;
    error = comName + ": cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  // A read ends as soon as bytes are there, or after a short wait for the first.
  COMMTIMEOUTS timeouts{kMaxDword, kMaxDword, kReadWaitMs, 0, 0};
  SetCommTimeouts(port_, &timeouts);
  EscapeCommFunction(port_, CLRDTR);
  EscapeCommFunction(port_, SETRTS);
  readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return true;
}

std::string ServedPort::terminal() const {
  std::lock_guard lock(terminalMutex_);
  return terminal_;
}

// A fresh terminal, raw, that nobody holds until a program opens it. Its master goes under
// master_, the descriptor both threads use: replacing the one there closes the old terminal's
// master, which hangs the old terminal up.
bool ServedPort::OpenTerminal(std::string& error) {
  int master = -1;
  int slave = -1;
  char path[128] = {};
  if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) {
    error = SystemError("cannot make a pseudo-terminal");
    return false;
  }
  termios raw{};
  ::tcgetattr(slave, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  ::close(slave);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  if (master_ < 0) {
    master_ = master;
  } else {
    ::dup3(master, master_, O_CLOEXEC);
    ::close(master);
  }
  terminal_ = path;
  return true;
}

// Points the link at the terminal. A link left by an earlier server is replaced; anything else
// there is not ours to touch. The new link takes the old one's place in one step, so that a
// program opening it never finds none.
bool ServedPort::Link(std::string& error) {
  std::error_code failed;
  std::filesystem::create_directories(link_.parent_path(), failed);
  auto status = std::filesystem::symlink_status(link_, failed);
  if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
    error = link_.string() + ": in the way";
    return false;
  }
  // An abrupt end (no thread, no memory) still takes the link and its declaration away.
  platform::RemoveAtAbruptEnd(link_);
  platform::RemoveAtAbruptEnd(LinesFile());
  std::filesystem::path fresh = link_;
  fresh += ".new";
  std::filesystem::remove(fresh, failed);
  std::filesystem::create_symlink(terminal_, fresh, failed);
  if (!failed) std::filesystem::rename(fresh, link_, failed);
  if (failed) {
    error = link_.string() + ": " + failed.message();
    return false;
  }
  linked_ = true;
  DWORD lines = 0;
  if (GetCommModemStatus(port_, &lines)) DeclareLines(lines);
  return true;
}

bool ServedPort::Listen(std::uint16_t tcpPort, std::string& error) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(tcpPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener_ < 0 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_, 4) != 0) {
    error = SystemError("127.0.0.1:" + std::to_string(tcpPort));
    return false;
  }
  return true;
}

void ServedPort::OutputLoop() {
  BYTE buffer[kChunk];
  while (!stopping_) {
    if (ClientSuspended()) {
      ::usleep(kPollMs * 1000);  // the port keeps its bytes meanwhile
      continue;
    }
    OVERLAPPED request{};
    ResetEvent(readEvent_);
    request.hEvent = readEvent_;
    DWORD count = 0;
    if (!ReadFile(port_, buffer, sizeof(buffer), &count, &request)) {
      if (GetLastError() != ERROR_IO_PENDING) return;
      WaitForSingleObject(readEvent_, INFINITE);  // at most kReadWaitMs
      if (!GetOverlappedResult(port_, &request, &count, FALSE)) count = 0;
    }
    FollowCarrier();
    if (count > 0) ToTerminal(buffer, count);
    std::lock_guard lock(clientMutex_);
    if (session_ == nullptr) continue;
    if (count > 0) session_->FromPort(std::span(buffer, count));
    session_->CheckModemState();
    if (!SendToClientLocked()) DropClientLocked();
  }
}

// The program on the terminal reads at its own pace: while the terminal is full this waits (the
// port's receive queue, then the modem, hold back what follows), for as long as the program
// holds the terminal. Nobody holds it: what the modem says is lost, as on a line nobody listens
// to.
void ServedPort::ToTerminal(const BYTE* bytes, std::size_t count) {
  std::unique_lock lock(terminalMutex_);
  while (count > 0 && terminalOpen_ && !stopping_) {
    ssize_t done = ::write(master_, bytes, count);
    if (done > 0) {
      bytes += done;
      count -= static_cast<std::size_t>(done);
      continue;
    }
    if (done < 0 && errno != EAGAIN && errno != EINTR) return;
    lock.unlock();
    pollfd wait{master_, POLLOUT, 0};
    ::poll(&wait, 1, kPollMs);
    FollowCarrier();  // the line can drop while the program does not read
    lock.lock();
  }
}

bool ServedPort::ClientSuspended() {
  std::lock_guard lock(clientMutex_);
  return session_ != nullptr && session_->suspended();
}

void ServedPort::InputLoop() {
  BYTE buffer[kChunk];
  while (!stopping_) {
    pollfd watched[3] = {{master_, POLLIN, 0}, {listener_, POLLIN, 0}, {-1, POLLIN, 0}};
    {
      std::lock_guard lock(clientMutex_);
      watched[2].fd = client_;
    }
    int hangUps = HangUpsSoFar();
    if (::poll(watched, 3, kPollMs) < 0 && errno != EINTR) return;
    // The client first: one that has left drops DTR (FollowDtr) before a program that came
    // meanwhile is heard, so that the modem has ended the last session by then.
    if ((watched[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) FromClient();
    // POLLHUP on the master: no program holds the terminal. It stays set, so it is looked at
    // again only after the next wait. A terminal hung up meanwhile was replaced by one that
    // nobody holds yet: what the wait saw is of the old one.
    bool open = (watched[0].revents & POLLHUP) == 0;
    std::string came;  // the terminal a program opened or closed just now
    {
      std::lock_guard lock(terminalMutex_);
      if (hangUps == hangUps_ && terminalOpen_ != open) {
        terminalOpen_ = open;
        came = terminal_;
      }
      open = terminalOpen_;
    }
    if (!came.empty())
      say_(name_ + (open ? ": a program opened " : ": the program closed ") + came);
    FollowDtr();
    if (!open) ::usleep(kPollMs * 1000);
    if (open && (watched[0].revents & POLLIN) != 0) {
      ssize_t count = ::read(master_, buffer, sizeof(buffer));
      if (count > 0) WriteToPort(std::vector<BYTE>(buffer, buffer + count));
    }
    if ((watched[1].revents & POLLIN) != 0) Accept();
  }
}

// DTR is on while a program holds the terminal or a client is connected. A client that left
// drops it even when another program is already there, as a port closed and opened again does:
// the modem takes the drop as the end of the last session (a call, download mode).
void ServedPort::FollowDtr() {
  bool wanted;
  bool left;
  {
    std::lock_guard terminalLock(terminalMutex_);
    std::lock_guard clientLock(clientMutex_);
    wanted = terminalOpen_ || client_ >= 0;
    left = std::exchange(clientLeft_, false);
  }
  if (left && dtr_) {
    dtr_ = false;
    EscapeCommFunction(port_, CLRDTR);
    // Long enough for the modem to see it: a drop taken back at once never reaches it.
    if (wanted) ::usleep(kDtrDropMs * 1000);
  }
  if (wanted == dtr_) return;
  dtr_ = wanted;
  EscapeCommFunction(port_, dtr_ ? SETDTR : CLRDTR);
}

// A carrier that drops (DCD, as GetCommModemStatus shows it) hangs the terminal up. The output
// thread looks after every read of the port: at least every kReadWaitMs, and at once when the
// modem says something (its CONNECT follows the carrier, its NO CARRIER the carrier's loss).
void ServedPort::FollowCarrier() {
  DWORD status = 0;
  bool known = GetCommModemStatus(port_, &status) != FALSE;
  if (known) DeclareLines(status);
  bool carrier = known && (status & MS_RLSD_ON) != 0;
  bool lost = carrier_ && !carrier;
  carrier_ = carrier;
  if (lost) HangUp();
}

// A terminal has no modem lines, so the platform root declares them beside the link
// ("com3.lines"), for a program of this machine that opens the terminal as a COM port: the lines
// the port shows now, rewritten in one step whenever they change. A program reads them when it
// opens the port.
void ServedPort::DeclareLines(DWORD status) {
  if (status == declaredLines_) return;
  std::string words;
  const std::pair<DWORD, const char*> kWords[] = {
      {MS_CTS_ON, "cts"}, {MS_DSR_ON, "dsr"}, {MS_RLSD_ON, "dcd"}, {MS_RING_ON, "ring"}};
  for (auto [bit, word] : kWords) {
    if ((status & bit) == 0) continue;
    if (!words.empty()) words += ' ';
    words += word;
  }
  std::filesystem::path fresh = LinesFile();
  fresh += ".new";
  {
    std::ofstream out(fresh, std::ios::trunc);
    out << words << "\n";
  }
  std::error_code failed;
  std::filesystem::rename(fresh, LinesFile(), failed);
  if (!failed) declaredLines_ = status;
}

std::filesystem::path ServedPort::LinesFile() const {
  std::filesystem::path file = link_;
  file += ".lines";
  return file;
}

int ServedPort::HangUpsSoFar() {
  std::lock_guard lock(terminalMutex_);
  return hangUps_;
}

// The hang-up of a serial line whose carrier drops, for a program on the terminal: the
// terminal's master is closed, and the kernel hangs the terminal up exactly as a serial driver
// does on carrier loss (tty_hangup): the program's reads return 0 (end of file), its writes fail
// (EIO), poll reports POLLHUP, and when the terminal is a session's controlling terminal, its
// processes get SIGHUP. A signal alone (TIOCSIG) would reach only a controlling terminal's
// processes, and most programs on a serial line open it without making it theirs; reads and
// poll are what they all notice. A program that set CLOCAL asked to ignore the modem lines:
// it keeps its terminal and reads the modem's NO CARRIER. The fresh terminal that takes the
// link serves the next program as the first one did.
void ServedPort::HangUp() {
  std::lock_guard lock(terminalMutex_);
  termios settings{};
  // On the master, the termios calls read the terminal's (the program's) settings.
  bool local = ::tcgetattr(master_, &settings) == 0 && (settings.c_cflag & CLOCAL) != 0;
  if (!terminalOpen_ || local) return;
  std::string error;
  if (!OpenTerminal(error) || !Link(error)) {
    say_(name_ + ": " + error);
    return;
  }
  terminalOpen_ = false;
  ++hangUps_;
  say_(name_ + ": carrier lost, terminal hung up; now on " + terminal_ + " (" + link_.string() +
       ")");
}

void ServedPort::Accept() {
  int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (client < 0) return;
  std::lock_guard lock(clientMutex_);
  // A client that closed just before this one came is gone, not busy: a program that closes a
  // port and opens it again at once finds it free, as it would on a local port.
  BYTE next;
  if (client_ >= 0 && ::recv(client_, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0) DropClientLocked();
  if (client_ >= 0) {
    say_(name_ + ": RFC 2217 client " + PeerName(client) + " turned away, the port has its client");
    ::close(client);  // the port has its client
    return;
  }
  // A client whose host vanishes without a word is dropped once keep-alive gives its verdict,
  // instead of holding the port against every later one.
  platform::net::WatchThePeer(client);
  client_ = client;
  session_ = std::make_unique<Rfc2217Session>(port_, "mdmsim " + name_);
  say_(name_ + ": RFC 2217 client " + PeerName(client) + " connected");
}

void ServedPort::FromClient() {
  BYTE buffer[kChunk];
  std::vector<BYTE> toPort;
  {
    std::lock_guard lock(clientMutex_);
    if (client_ < 0) return;
    ssize_t count = ::recv(client_, buffer, sizeof(buffer), 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (count <= 0 ||
        !session_->FromClient(std::span(buffer, static_cast<std::size_t>(count)), toPort) ||
        !SendToClientLocked()) {
      DropClientLocked();
      return;
    }
  }
  if (!toPort.empty()) WriteToPort(toPort);
}

void ServedPort::DropClient() {
  std::lock_guard lock(clientMutex_);
  DropClientLocked();
}

void ServedPort::DropClientLocked() {
  if (client_ >= 0) {
    ::close(client_);
    clientLeft_ = true;
    if (!stopping_) say_(name_ + ": RFC 2217 client left");
  }
  client_ = -1;
  session_.reset();
}

bool ServedPort::SendToClientLocked() {
  std::vector<BYTE> out = session_->TakeForClient();
  return out.empty() || SendAll(client_, out.data(), out.size());
}

// Waits for the port to take the bytes, looking now and then whether the server stops.
void ServedPort::WriteToPort(const std::vector<BYTE>& bytes) {
  OVERLAPPED request{};
  ResetEvent(writeEvent_);
  request.hEvent = writeEvent_;
  DWORD written = 0;
  if (WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &request)) return;
  if (GetLastError() != ERROR_IO_PENDING) return;
  while (WaitForSingleObject(writeEvent_, 100) != WAIT_OBJECT_0) {
    if (stopping_) {
      PurgeComm(port_, PURGE_TXABORT);
      break;
    }
  }
  GetOverlappedResult(port_, &request, &written, FALSE);
}

}  // namespace mdmsim
