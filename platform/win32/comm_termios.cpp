// The tty backend of the COM-port stand-in: a CommBackend over a real serial device (or a
// pseudo-terminal) that a dosdevices link in the platform root names.
//
// Received bytes come from a pump thread, a plain std::thread that the clock does not know. The
// backend therefore serves the real clock only (programs on real devices); runs in virtual time
// use in-process ports, whose bytes come from threads the clock counts.
//
// Received bytes are EV_RXCHAR for WaitCommEvent. A change of the modem-status lines has no
// readiness that poll() reports (TIOCMIWAIT blocks in the kernel and cannot be woken to close),
// so on a device that has the lines the pump reads them with TIOCMGET every 100 ms and reports
// each change as line events; a device without them (a pseudo-terminal) gives no line events.
// Such a device shows the lines the platform root declares for it beside its link
// ("dosdevices/com5.lines" holding e.g. "cts dsr"), fixed while the port is open; without a
// declaration GetCommModemStatus fails.
//
// A write completes when its bytes have left, as the platform's serial driver completes it when
// the hardware has taken the bytes: a drain thread waits with tcdrain for the tty's output to
// empty. Bytes in the tty are therefore never purged; PURGE_TXCLEAR drops only what a write has
// not handed over yet, which is the CommPort's.
//
// The settings the tty had at open are put back exactly at close, whatever they were (a
// pseudo-terminal starts at speed 0, which no DCB can carry).
//
// Line settings go through the kernel's termios2 (TCGETS2/TCSETS2 with BOTHER), which sets any
// rate exactly. Its struct shares a name with the C library's termios, so this file speaks to
// the tty through ioctl alone and never includes <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win32/comm.h"
#include "platform/win32/comm_device.h"
#include "platform/win32/debug.h"
#include "platform/win32/files.h"
#include "platform/win32/termios_line.h"

namespace platform::win32 {
namespace {

using platform::clock::Lock;
using namespace termios_line;

// ---------------------------------------------------------------------------------------------
// Errors

// The device is gone (unplugged, hung up) or cannot do what was asked.
DWORD DeviceError(int error) {
  switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
      return ERROR_DEVICE_NOT_CONNECTED;
    case ENOTTY:
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ErrorFromErrno(error);
  }
}

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
      return ERROR_ACCESS_DENIED;  // EBUSY: another process holds it exclusively
    default:
      return ErrorFromErrno(error);
  }
}

bool FailWith(DWORD error) {
  SetLastError(error);
  return false;
}

// Why a device was passed over, on the debugger output, where a program's user can ask to see
// it (a failed open looks the same to the program whatever its cause).
void ReportRefusal(const std::string& device, const std::string& why) {
  debug::Sink().Deliver((device + ": " + why + "\n").c_str());
}

// An open that failed for want of a descriptor or memory is reported by the COM-port layer.
bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// The tty's modem lines (TIOCM_*) as the platform's modem status (MS_*_ON).
DWORD StatusFromLines(int lines) {
  DWORD status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  return status;
}

constexpr int kLinePollMs = 100;

// How long a drain may take at close before the tty's output is flushed: the queued bytes at
// the line's rate (ten bits a byte), and a second more.
std::chrono::milliseconds DrainAllowance(int queued, DWORD rate) {
  auto bits = std::uint64_t{static_cast<unsigned>(std::max(queued, 0))} * 10;
  return std::chrono::milliseconds(bits * 1000 / std::max<DWORD>(rate, 50) + 1000);
}

// ---------------------------------------------------------------------------------------------
// The backend

class TermiosPort final : public CommBackend {
 public:
  TermiosPort(std::string path, int fd, int wake) : path_(std::move(path)), fd_(fd), wake_(wake) {}
  ~TermiosPort() override { Close(); }
  TermiosPort(const TermiosPort&) = delete;
  TermiosPort& operator=(const TermiosPort&) = delete;

  bool Configure();
  bool StartPump();

  void Attach(CommPort* port) override;
  void Detach() override { port_ = nullptr; }
  bool ApplyState(const DCB& dcb) override;
  bool ReadState(DCB& dcb) override;
  bool Escape(DWORD function) override;
  bool Setup(DWORD inQueue, DWORD outQueue) override;
  COMMTIMEOUTS LoadTimeouts() override;
  void StoreTimeouts(const COMMTIMEOUTS& timeouts) override;
  bool ModemStatus(DWORD& status) override;
  void Purge(DWORD flags) override;
  std::size_t Transmit(std::span<const BYTE> bytes) override;
  bool Drained() override;
  void Close() override;

 private:
  bool ApplyLine(const DCB& dcb, DWORD& appliedRate);
  bool SetRate(termios2& t, DWORD rate, DWORD& appliedRate);
  bool SetModemLine(int line, bool on, bool& state);
  bool Control(unsigned long request, unsigned long argument);
  void FollowControlFields(const DCB& dcb);

  void StopThreads();
  void Drain();
  void Pump();
  void WatchLines();
  bool Receive();
  void Deliver(std::span<const BYTE> bytes);
  void Disconnect();
  void Wake();

  const std::string path_;
  int fd_;
  int wake_;  // an eventfd that interrupts the pump's poll
  std::thread pump_;
  std::thread drainer_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> wantOutput_{false};  // a write is waiting for room in the tty
  bool watchLines_ = false;              // the device has modem-status lines (pump thread's)
  DWORD lines_ = 0;                      // as last read (pump thread's)
  std::optional<DWORD> declaredLines_;   // those of a device without lines (set at open)
  std::optional<termios2> found_;        // the tty's settings at open, put back at close

  // The drain: writes to the tty are counted, and so are those known to have left.
  std::mutex drainMutex_;  // guards the fields below up to mutex_
  std::condition_variable drainChanged_;
  std::uint64_t sent_ = 0;
  std::uint64_t drained_ = 0;
  bool drainAsked_ = false;
  bool draining_ = false;  // the drainer waits in tcdrain

  std::mutex mutex_;  // guards the fields below up to port_
  DCB dcb_{};
  DWORD appliedRate_ = 0;
  COMMTIMEOUTS timeouts_{};
  bool dtr_ = false;
  bool rts_ = false;
  DWORD inQueue_ = 0;
  DWORD outQueue_ = 0;
  bool configured_ = false;  // the settings above are the port's, worth keeping at close

  // Under the clock's mutex:
  CommPort* port_ = nullptr;
  bool attached_ = false;  // a port has been attached (and maybe detached again)
  bool gone_ = false;
  std::vector<BYTE> early_;  // bytes received before the port attached
};

// Raw mode, an empty receive queue as a freshly opened COM port has, and the line settings: those
// this process last set on the port, else what the tty holds.
bool TermiosPort::Configure() {
  termios2 t{};
  if (::ioctl(fd_, TCGETS2, &t) != 0) return FailWith(DeviceError(errno));
  found_ = t;
  MakeRaw(t);
  if (::ioctl(fd_, TCSETS2, &t) != 0) return FailWith(DeviceError(errno));
  ::ioctl(fd_, TCFLSH, TCIFLUSH);

  // Opening a tty raises DTR and RTS, as opening a COM port does.
  dtr_ = true;
  rts_ = true;
  std::optional<KeptSettings> kept = RecallSettings(path_);
  DWORD applied = 0;
  if (kept && kept->dcb.BaudRate != 0 && ApplyLine(kept->dcb, applied)) {
    dcb_ = kept->dcb;
    appliedRate_ = applied;
  } else {
    if (::ioctl(fd_, TCGETS2, &t) != 0) return FailWith(DeviceError(errno));
    dcb_ = kept ? kept->dcb : DefaultLineSettings();
    ReadLineSettings(t, dcb_);
    appliedRate_ = t.c_ospeed;
  }
  if (kept) timeouts_ = kept->timeouts;
  configured_ = true;
  int lines = 0;
  watchLines_ = ::ioctl(fd_, TIOCMGET, &lines) == 0;
  lines_ = StatusFromLines(lines);
  DWORD refused = ERROR_SUCCESS;
  if (!watchLines_) declaredLines_ = DeclaredLines(path_ + ".lines", &refused);
  if (!watchLines_ && !declaredLines_ && ::access((path_ + ".lines").c_str(), F_OK) != 0) {
    ReportRefusal(path_, "has no modem lines and no " + path_ +
                             ".lines declares them: its modem status cannot be read");
  }
  // Lines that could not be read are no lines that are off: the open fails for its cause.
  if (refused != ERROR_SUCCESS) return FailWith(refused);
  return true;
}

bool TermiosPort::StartPump() {
  platform::clock::RequireRealTime(path_);
  try {
    pump_ = std::thread([this] { Pump(); });
    drainer_ = std::thread([this] { Drain(); });
  } catch (const std::system_error&) {
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  }
  return true;
}

void TermiosPort::Attach(CommPort* port) {
  port_ = port;
  attached_ = true;
  if (!early_.empty()) port->DeliverLocked(early_);
  early_.clear();
  if (gone_) port->DisconnectLocked();
}

// Writes the line settings to the tty and brings DTR and RTS where the DCB's control fields put
// them, as setting a COM port's state does.
bool TermiosPort::ApplyLine(const DCB& dcb, DWORD& appliedRate) {
  termios2 t{};
  if (::ioctl(fd_, TCGETS2, &t) != 0) return FailWith(DeviceError(errno));
  WriteLineSettings(dcb, t);
  if (!SetRate(t, dcb.BaudRate, appliedRate)) return false;
  FollowControlFields(dcb);
  return true;
}

// The exact rate where the device takes it, else the nearest standard one.
bool TermiosPort::SetRate(termios2& t, DWORD rate, DWORD& appliedRate) {
  t.c_cflag &= ~(CBAUD | CIBAUD);  // no separate input rate: input follows output
  t.c_cflag |= BOTHER;
  t.c_ispeed = t.c_ospeed = rate;
  termios2 taken{};
  if (::ioctl(fd_, TCSETS2, &t) == 0 && ::ioctl(fd_, TCGETS2, &taken) == 0 &&
      CloseEnough(taken.c_ospeed, rate)) {
    appliedRate = taken.c_ospeed;
    return true;
  }
  StandardRate standard = NearestStandardRate(rate);
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= standard.code;
  t.c_ispeed = t.c_ospeed = standard.rate;
  if (::ioctl(fd_, TCSETS2, &t) != 0) return FailWith(DeviceError(errno));
  appliedRate = standard.rate;
  return true;
}

void TermiosPort::FollowControlFields(const DCB& dcb) {
  bool dtr, rts;
  {
    std::lock_guard lock(mutex_);
    dtr = dtr_;
    rts = rts_;
  }
  // The tty has no DTR handshake, and RTS handshake only within CRTSCTS, where the kernel
  // drops RTS while input is throttled: a handshake line is on, as it is while there is room
  // to receive. RTS toggle has no counterpart and leaves RTS as it is.
  SetModemLine(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE, dtr);
  if (dcb.fRtsControl == RTS_CONTROL_DISABLE) SetModemLine(TIOCM_RTS, false, rts);
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    SetModemLine(TIOCM_RTS, true, rts);
  }
  std::lock_guard lock(mutex_);
  dtr_ = dtr;
  rts_ = rts;
}

bool TermiosPort::ApplyState(const DCB& dcb) {
  DWORD applied = 0;
  if (!ApplyLine(dcb, applied)) return false;
  std::lock_guard lock(mutex_);
  dcb_ = dcb;
  dcb_.DCBlength = sizeof(DCB);
  appliedRate_ = applied;
  return true;
}

bool TermiosPort::ReadState(DCB& dcb) {
  std::lock_guard lock(mutex_);
  dcb = dcb_;
  return true;
}

// A device without modem-control lines (a pseudo-terminal) refuses the request; the line's
// state is still recorded, so that a session runs on it as on a port with the lines.
bool TermiosPort::SetModemLine(int line, bool on, bool& state) {
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) != 0 && errno != ENOTTY && errno != EINVAL) {
    return FailWith(DeviceError(errno));
  }
  state = on;
  return true;
}

bool TermiosPort::Control(unsigned long request, unsigned long argument) {
  if (::ioctl(fd_, request, argument) != 0) return FailWith(DeviceError(errno));
  return true;
}

bool TermiosPort::Escape(DWORD function) {
  bool dtr, rts;
  {
    std::lock_guard lock(mutex_);
    dtr = dtr_;
    rts = rts_;
  }
  bool ok = false;
  switch (function) {
    case SETDTR:
    case CLRDTR:
      ok = SetModemLine(TIOCM_DTR, function == SETDTR, dtr);
      break;
    case SETRTS:
    case CLRRTS:
      ok = SetModemLine(TIOCM_RTS, function == SETRTS, rts);
      break;
    case SETBREAK:
      return Control(TIOCSBRK, 0);
    case CLRBREAK:
      return Control(TIOCCBRK, 0);
    case SETXON:
      return Control(TCXONC, TCOON);  // transmit as if XON had come
    case SETXOFF:
      return Control(TCXONC, TCOOFF);  // transmit as if XOFF had come
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard lock(mutex_);
  dtr_ = dtr;
  rts_ = rts;
  return ok;
}

bool TermiosPort::Setup(DWORD inQueue, DWORD outQueue) {
  std::lock_guard lock(mutex_);
  inQueue_ = inQueue;
  outQueue_ = outQueue;
  return true;
}

COMMTIMEOUTS TermiosPort::LoadTimeouts() {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

void TermiosPort::StoreTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
}

// A device without modem-status lines shows those the platform root declares for it; without
// a declaration it fails the request, as the platform does for a port that cannot report them.
bool TermiosPort::ModemStatus(DWORD& status) {
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
    status = StatusFromLines(lines);
    return true;
  }
  int error = errno;
  if (declaredLines_ && (error == ENOTTY || error == EINVAL)) {
    status = *declaredLines_;
    return true;
  }
  return FailWith(DeviceError(error));
}

// Aborts, and the bytes a write has not handed over, are the CommPort's; here only the tty's
// receive queue is emptied. Its output queue holds bytes of writes that have completed or are
// draining, which the platform's driver has handed to the hardware: they are not taken back.
void TermiosPort::Purge(DWORD flags) {
  if (flags & PURGE_RXCLEAR) ::ioctl(fd_, TCFLSH, TCIFLUSH);
}

// Takes what the tty takes now; for the rest the pump waits for room and calls the port back.
std::size_t TermiosPort::Transmit(std::span<const BYTE> bytes) {
  if (bytes.empty()) return 0;
  ssize_t written;
  do {
    written = ::write(fd_, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0 && errno != EAGAIN) {
    Disconnect();
    return 0;
  }
  std::size_t taken = written < 0 ? 0 : static_cast<std::size_t>(written);
  if (taken > 0) {
    std::lock_guard lock(drainMutex_);
    ++sent_;
  }
  if (taken < bytes.size()) {
    wantOutput_ = true;
    Wake();
  }
  return taken;
}

// Whether everything written to the tty has left; if not, the drainer is asked to wait for it
// and calls the port back then.
bool TermiosPort::Drained() {
  std::lock_guard lock(drainMutex_);
  if (drained_ == sent_) return true;
  drainAsked_ = true;
  drainChanged_.notify_all();
  return false;
}

void TermiosPort::Close() {
  StopThreads();
  if (fd_ < 0) return;
  {
    std::lock_guard lock(mutex_);
    if (configured_) KeepSettings(path_, KeptSettings{dcb_, appliedRate_, timeouts_});
  }
  if (found_) ::ioctl(fd_, TCSETS2, &*found_);
  // Exclusive mode stays with a tty that lives on (a pseudo-terminal whose master is open), so
  // it is given up before the descriptor goes.
  ::ioctl(fd_, TIOCNXCL);
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  ::close(wake_);
  fd_ = -1;
  wake_ = -1;
}

// ---------------------------------------------------------------------------------------------
// The drain and pump threads

// A drain held up by flow control (CTS low, an XOFF received) would not end by itself: once the
// queued bytes have had their time, the tty's output is flushed, which ends it. The write it was
// for has been abandoned by the close.
void TermiosPort::StopThreads() {
  if (drainer_.joinable()) {
    int queued = 0;
    ::ioctl(fd_, TIOCOUTQ, &queued);
    DWORD rate;
    {
      std::lock_guard lock(mutex_);
      rate = appliedRate_;
    }
    std::unique_lock lock(drainMutex_);
    stopping_ = true;
    drainChanged_.notify_all();
    if (!drainChanged_.wait_for(lock, DrainAllowance(queued, rate),
                                [this] { return !draining_; })) {
      ::ioctl(fd_, TCFLSH, TCOFLUSH);
    }
    lock.unlock();
    drainer_.join();
  }
  if (pump_.joinable()) {
    stopping_ = true;
    Wake();
    pump_.join();
  }
}

// Waits for the tty's output to empty whenever a write asks, then calls the port back. A failed
// drain (the device went away) ends the wait too; the pump reports the loss.
void TermiosPort::Drain() {
  std::unique_lock lock(drainMutex_);
  for (;;) {
    drainChanged_.wait(lock, [this] { return stopping_ || drainAsked_; });
    if (stopping_) return;
    drainAsked_ = false;
    std::uint64_t upTo = sent_;
    draining_ = true;
    lock.unlock();
    while (::ioctl(fd_, TCSBRK, 1) != 0 && errno == EINTR) {
    }
    lock.lock();
    draining_ = false;
    drained_ = upTo;
    drainChanged_.notify_all();
    lock.unlock();
    CommPort::TransmitReadyOf(port_);
    lock.lock();
  }
}

void TermiosPort::Wake() {
  ::eventfd_write(wake_, 1);
}

void TermiosPort::Pump() {
  for (;;) {
    short events = POLLIN | (wantOutput_ ? POLLOUT : 0);
    pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, watchLines_ ? kLinePollMs : -1) < 0) {
      if (errno == EINTR) continue;
      Disconnect();
      return;
    }
    if (watchLines_) WatchLines();
    if (fds[1].revents != 0) {
      eventfd_t ignored;
      ::eventfd_read(wake_, &ignored);
      if (stopping_) return;
    }
    short ready = fds[0].revents;
    // A hang-up may come with the last bytes; those are delivered before the port learns.
    if ((ready & (POLLIN | POLLHUP | POLLERR)) && (!Receive() || (ready & (POLLHUP | POLLERR)))) {
      Disconnect();
      return;
    }
    if (ready & POLLNVAL) {
      Disconnect();
      return;
    }
    if ((ready & POLLOUT) && wantOutput_.exchange(false)) CommPort::TransmitReadyOf(port_);
  }
}

void TermiosPort::WatchLines() {
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) return;  // a gone device shows in the poll
  DWORD now = StatusFromLines(lines);
  if (now == lines_) return;
  Lock lock(platform::clock::Current().Mutex());
  if (port_ != nullptr) port_->LinesChangedLocked(lines_, now);
  lines_ = now;
}

// Reads what is there; false when the device is gone.
bool TermiosPort::Receive() {
  BYTE buffer[4096];
  for (;;) {
    ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count > 0) {
      Deliver(std::span<const BYTE>(buffer, static_cast<std::size_t>(count)));
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN) return true;
    return false;  // 0: hung up; EIO: the other side or the device went away
  }
}

void TermiosPort::Deliver(std::span<const BYTE> bytes) {
  Lock lock(platform::clock::Current().Mutex());
  if (port_ != nullptr) {
    port_->DeliverLocked(bytes);
  } else if (!attached_) {
    early_.insert(early_.end(), bytes.begin(), bytes.end());
  }
}

void TermiosPort::Disconnect() {
  Lock lock(platform::clock::Current().Mutex());
  gone_ = true;
  if (port_ != nullptr) port_->DisconnectLocked();
}

}  // namespace

// Opens the tty for this process alone: TIOCEXCL keeps other users' opens out, and the flock
// also refuses a second open by this or any process of the same user (the superuser passes
// TIOCEXCL), as a COM port open elsewhere is refused on the platform.
std::shared_ptr<CommBackend> OpenTermiosBackend(const std::string& devicePath) {
  int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int cause = errno;
    if (!OutOfResources(cause))
      ReportRefusal(devicePath, std::string("cannot be opened: ") + std::strerror(cause));
    SetLastError(OpenError(cause));
    return nullptr;
  }
  DWORD error = ERROR_SUCCESS;
  if (!::isatty(fd)) {
    error = ERROR_FILE_NOT_FOUND;  // the link names something that is no serial device
    ReportRefusal(devicePath, "not a serial device");
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int cause = errno;
    error = cause == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(cause);
    ReportRefusal(devicePath, cause == EWOULDBLOCK
                                  ? "held by another program"
                                  : std::string("cannot be locked: ") + std::strerror(cause));
  } else if (::ioctl(fd, TIOCEXCL) != 0) {
    error = DeviceError(errno);
  }
  int wake = error == ERROR_SUCCESS ? ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
  if (error == ERROR_SUCCESS && wake < 0) error = ErrorFromErrno(errno);
  if (error != ERROR_SUCCESS) {
    ::close(fd);
    SetLastError(error);
    return nullptr;
  }
  auto port = std::make_shared<TermiosPort>(devicePath, fd, wake);
  if (!port->Configure() || !port->StartPump()) return nullptr;  // the port closes the tty
  return port;
}

}  // namespace platform::win32
