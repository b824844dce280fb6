// COM ports of the Win32 stand-in. A port handle names a CommPort, which implements the
// platform's request semantics (overlapped reads bounded by the read time-outs, writes, purges,
// error counts, waits for events) once, over a CommBackend that is either an in-process device
// (a test, a simulated modem, the simulated serial-port driver) or a real tty through termios.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/clock/clock.h"
#include "platform/win32/objects.h"

namespace platform::win32 {

class CommPort;

// OVERLAPPED::Internal of a request still in progress (the platform's STATUS_PENDING).
constexpr ULONG_PTR kOverlappedPending = 0x103;

// The device side of a COM port. Calls come without the clock's mutex held, except Attach and
// Detach, which come with it held.
class CommBackend {
 public:
  virtual ~CommBackend() = default;
  // The port that received bytes go to, from open to close (under the clock's mutex). Deliver
  // bytes with CommPort::DeliverLocked while holding the clock's mutex.
  virtual void Attach(CommPort* port) = 0;
  virtual void Detach() = 0;
  // False (with the last error set) when the device refuses.
  virtual bool ApplyState(const DCB& dcb) = 0;
  virtual bool ReadState(DCB& dcb) = 0;
  virtual bool Escape(DWORD function) = 0;
  virtual bool Setup(DWORD inQueue, DWORD outQueue) = 0;
  // The time-outs belong to the device, so they outlive one open of it.
  virtual COMMTIMEOUTS LoadTimeouts() = 0;
  virtual void StoreTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  virtual bool ModemStatus(DWORD& status) = 0;
  virtual void Purge(DWORD flags) = 0;
  // Bytes the application writes; returns how many the device took now. When it took fewer,
  // it calls CommPort::TransmitReady once it has room again.
  virtual std::size_t Transmit(std::span<const BYTE> bytes) = 0;
  // Whether every byte Transmit took has left the device: a write completes only then. When
  // not, the device calls CommPort::TransmitReady once they have.
  virtual bool Drained() { return true; }
  // Under the clock's mutex: the application took bytes from the receive queue. A device that
  // stopped receiving while the queue was full may go on.
  virtual void RoomFreedLocked() {}
  virtual void Close() = 0;
};

class CommPort final : public Object, public std::enable_shared_from_this<CommPort> {
 public:
  CommPort(std::shared_ptr<CommBackend> backend, bool overlapped);
  ~CommPort() override;
  void OnLastHandleClosed() override;

  BOOL GetState(DCB& dcb);
  BOOL SetState(const DCB& dcb);
  BOOL Escape(DWORD function);
  BOOL Setup(DWORD inQueue, DWORD outQueue);
  BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
  BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
  BOOL Purge(DWORD flags);
  BOOL ClearError(DWORD* errors, COMSTAT* stat);
  BOOL ModemStatus(DWORD& status);
  BOOL Read(BYTE* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
  BOOL Write(const BYTE* bytes, DWORD count, DWORD* written, OVERLAPPED* overlapped);
  BOOL SetMask(DWORD mask);
  BOOL GetMask(DWORD& mask);
  BOOL WaitEvent(DWORD* events, OVERLAPPED* overlapped);

  // Device side, under the clock's mutex: bytes received from the line.
  void DeliverLocked(std::span<const BYTE> bytes);
  // Device side, under the clock's mutex: the modem status lines (MS_*_ON) went from `before`
  // to `after`.
  void LinesChangedLocked(DWORD before, DWORD after);
  // Device side, under the clock's mutex: the receiver saw a break or line-status errors
  // (CE_BREAK, CE_FRAME, CE_OVERRUN, CE_RXPARITY); ClearCommError reports them.
  void LineErrorsLocked(DWORD errors);
  // Device side, under the clock's mutex: how many more received bytes the receive queue takes
  // before it overflows.
  DWORD ReceiveRoomLocked() const;
  // Device side, under the clock's mutex: the device is gone; pending and later requests fail
  // with ERROR_DEVICE_NOT_CONNECTED.
  void DisconnectLocked();
  // Device side, without the lock: the device has room for more of a pending write.
  void TransmitReady();
  // The same for the port that `attached` names (a device's pointer to its port, read under the
  // clock's mutex), if one is attached still.
  static void TransmitReadyOf(CommPort* const& attached);

 private:
  struct PendingRead {
    OVERLAPPED* overlapped;
    BYTE* buffer;
    DWORD wanted;
    DWORD count;
    std::uint64_t serial;
    bool firstByteEnds = false;
    std::optional<platform::clock::Time> lastByte = {};
    std::optional<platform::clock::Time> totalDeadline = {};
    platform::clock::Clock::TimerId timer = 0;
  };
  struct PendingWrite {
    OVERLAPPED* overlapped;
    const BYTE* bytes;
    DWORD count;
    DWORD done;
  };
  struct PendingWait {
    OVERLAPPED* overlapped;
    DWORD* events;  // the caller's, written at completion
  };

  static BOOL Failed(DWORD error);
  std::optional<platform::clock::Time> NextReadDeadlineLocked() const;
  BOOL StartRead(BYTE* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
  BOOL StartWrite(const BYTE* bytes, DWORD count, DWORD* written, OVERLAPPED* overlapped);
  BOOL SyncRead(BYTE* buffer, DWORD count, DWORD* read);
  BOOL SyncWrite(const BYTE* bytes, DWORD count, DWORD* written);
  void FillReadLocked();
  void ArmReadTimerLocked();
  void OnReadTimer(std::uint64_t serial);
  void CompleteReadLocked(DWORD error);
  void CompleteWriteLocked(DWORD error);
  void PumpWrite();
  BOOL StartWait(DWORD* events, OVERLAPPED* overlapped);
  BOOL SyncWait(DWORD* events);
  void SignalLocked(DWORD events);
  void CompleteWaitLocked(DWORD events, DWORD error);
  void ShutDown();

  std::shared_ptr<CommBackend> backend_;
  const bool overlapped_;
  // Under the clock's mutex:
  bool open_ = true;
  bool disconnected_ = false;
  bool pumping_ = false;
  bool pumpAgain_ = false;
  COMMTIMEOUTS timeouts_{};
  DWORD inQueue_ = 4096;
  DWORD errors_ = 0;
  std::deque<BYTE> received_;
  std::optional<PendingRead> read_;
  std::optional<PendingWrite> write_;
  std::uint64_t nextSerial_ = 1;
  // Events: those chosen, those that came while no wait was pending (only chosen ones, as the
  // platform keeps them), the wait in progress, and the DCB's event character for EV_RXFLAG.
  DWORD eventMask_ = 0;
  DWORD eventsSeen_ = 0;
  std::optional<PendingWait> wait_;
  char eventChar_ = 0;
};

// Opens a COM port by name ("COM3" or "\\\\.\\COM3", any case): an in-process port registered
// under that name, else what the link "dosdevices/com3" in the platform root points to: a
// remote port when its target is "rfc2217://HOST:PORT", else a tty.
// Sets the last error and returns INVALID_HANDLE_VALUE on failure.
HANDLE OpenCommPort(const char* name, DWORD access, DWORD shareMode, DWORD flags);

// ReadFile and WriteFile for a handle that is not a file: ERROR_INVALID_HANDLE when it is not a
// COM port either.
BOOL CommReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
BOOL CommWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                   LPOVERLAPPED overlapped);

// What a port reports before anybody configured it: 9600 baud, 8 data bits, no parity, one stop
// bit, DTR and RTS on, the usual flow-control limits and characters.
DCB DefaultLineSettings();

// "COM3" from "COM3", "com3" or "\\\\.\\COM3"; empty when the name is not a COM port.
std::string CanonicalCommName(const char* name);

// The tty backend: opens the device a dosdevices link names (null and the last error set on
// failure).
std::shared_ptr<CommBackend> OpenTermiosBackend(const std::string& devicePath);

// The remote backend: connects to the server the link's target names and speaks the client side
// of its COM-port option (null and the last error set on failure).
std::shared_ptr<CommBackend> OpenRemoteBackend(const std::string& link, const std::string& target);

}  // namespace platform::win32
