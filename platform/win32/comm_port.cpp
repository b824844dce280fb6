// The request semantics of a COM port, shared by every backend.
#include <algorithm>
#include <utility>

#include "platform/clock/trace.h"
#include "platform/win32/comm.h"
#include "platform/win32/sync.h"

namespace platform::win32 {
namespace {

using platform::clock::Clock;
using platform::clock::Lock;
using platform::clock::Milliseconds;

constexpr ULONG_PTR kPending = kOverlappedPending;
constexpr DWORD kMaxDword = 0xFFFFFFFF;
// Every event bit the platform takes in a mask (up to EV_EVENT2); those that no device here
// has a source for are taken and never come.
constexpr DWORD kKnownEvents = 0x1FFF;

Clock& TheClock() {
  return platform::clock::Current();
}

}  // namespace

CommPort::CommPort(std::shared_ptr<CommBackend> backend, bool overlapped)
    : backend_(std::move(backend)), overlapped_(overlapped) {
  timeouts_ = backend_->LoadTimeouts();
  DCB dcb{};
  if (backend_->ReadState(dcb)) eventChar_ = dcb.EvtChar;
  Lock lock(TheClock().Mutex());
  backend_->Attach(this);
}

CommPort::~CommPort() {
  ShutDown();
}

void CommPort::OnLastHandleClosed() {
  ShutDown();
}

// Closing the port abandons what is outstanding, as the platform does on the last close.
void CommPort::ShutDown() {
  {
    Lock lock(TheClock().Mutex());
    if (!open_) return;
    open_ = false;
    if (read_) CompleteReadLocked(ERROR_OPERATION_ABORTED);
    if (write_) CompleteWriteLocked(ERROR_OPERATION_ABORTED);
    if (wait_) CompleteWaitLocked(0, ERROR_OPERATION_ABORTED);
    backend_->Detach();
  }
  backend_->Close();
}

BOOL CommPort::Failed(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL CommPort::GetState(DCB& dcb) {
  if (!backend_->ReadState(dcb)) return FALSE;
  dcb.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL CommPort::SetState(const DCB& dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS) {
    return Failed(ERROR_INVALID_PARAMETER);
  }
  if (!backend_->ApplyState(dcb)) return FALSE;
  Lock lock(TheClock().Mutex());
  eventChar_ = dcb.EvtChar;
  return TRUE;
}

BOOL CommPort::Escape(DWORD function) {
  switch (function) {
    case SETXOFF:
    case SETXON:
    case SETRTS:
    case CLRRTS:
    case SETDTR:
    case CLRDTR:
    case SETBREAK:
    case CLRBREAK:
      return backend_->Escape(function) ? TRUE : FALSE;
    default:
      return Failed(ERROR_INVALID_PARAMETER);
  }
}

BOOL CommPort::Setup(DWORD inQueue, DWORD outQueue) {
  if (!backend_->Setup(inQueue, outQueue)) return FALSE;
  Lock lock(TheClock().Mutex());
  inQueue_ = inQueue;
  return TRUE;
}

BOOL CommPort::GetTimeouts(COMMTIMEOUTS& timeouts) {
  Lock lock(TheClock().Mutex());
  timeouts = timeouts_;
  return TRUE;
}

BOOL CommPort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  backend_->StoreTimeouts(timeouts);
  Lock lock(TheClock().Mutex());
  timeouts_ = timeouts;
  return TRUE;
}

BOOL CommPort::Purge(DWORD flags) {
  {
    Lock lock(TheClock().Mutex());
    if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
    if ((flags & PURGE_TXABORT) && write_) CompleteWriteLocked(ERROR_OPERATION_ABORTED);
    if ((flags & PURGE_RXABORT) && read_) CompleteReadLocked(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXCLEAR) received_.clear();
  }
  backend_->Purge(flags);
  return TRUE;
}

BOOL CommPort::ClearError(DWORD* errors, COMSTAT* stat) {
  Lock lock(TheClock().Mutex());
  if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  if (errors != nullptr) *errors = errors_;
  errors_ = 0;
  if (stat != nullptr) {
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(received_.size());
    stat->cbOutQue = write_ ? write_->count - write_->done : 0;
  }
  return TRUE;
}

BOOL CommPort::ModemStatus(DWORD& status) {
  {
    Lock lock(TheClock().Mutex());
    if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  }
  return backend_->ModemStatus(status) ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Reads

BOOL CommPort::Read(BYTE* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  if (!overlapped_) return SyncRead(buffer, count, read);
  if (overlapped == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  return StartRead(buffer, count, read, overlapped);
}

BOOL CommPort::StartRead(BYTE* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  Lock lock(TheClock().Mutex());
  if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  if (read_) return Failed(ERROR_INVALID_PARAMETER);  // one read at a time
  overlapped->Internal = kPending;
  overlapped->InternalHigh = 0;
  read_ = PendingRead{overlapped, buffer, count, 0, nextSerial_++};
  FillReadLocked();
  const COMMTIMEOUTS& t = timeouts_;
  bool returnAtOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                      t.ReadTotalTimeoutConstant == 0;
  // Interval and multiplier at MAXDWORD with a constant: the first byte ends the read, and the
  // constant bounds the wait for it.
  read_->firstByteEnds = t.ReadIntervalTimeout == kMaxDword &&
                         t.ReadTotalTimeoutMultiplier == kMaxDword &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
  if (read_->count == count || returnAtOnce || (read_->firstByteEnds && read_->count > 0)) {
    DWORD done = read_->count;
    CompleteReadLocked(ERROR_SUCCESS);
    if (read != nullptr) *read = done;
    return TRUE;
  }
  Clock& clock = TheClock();
  if (read_->firstByteEnds) {
    read_->totalDeadline = clock.Now() + Milliseconds(t.ReadTotalTimeoutConstant);
  } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    auto total = std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    read_->totalDeadline = clock.Now() + Milliseconds(static_cast<std::int64_t>(total));
  }
  // Bytes already waiting start the interval timer at once.
  if (read_->count > 0) read_->lastByte = clock.Now();
  ArmReadTimerLocked();
  if (read != nullptr) *read = 0;
  return Failed(ERROR_IO_PENDING);
}

void CommPort::FillReadLocked() {
  DWORD take = std::min<DWORD>(read_->wanted - read_->count, static_cast<DWORD>(received_.size()));
  std::copy_n(received_.begin(), take, read_->buffer + read_->count);
  received_.erase(received_.begin(), received_.begin() + take);
  read_->count += take;
  if (take > 0) backend_->RoomFreedLocked();
}

std::optional<platform::clock::Time> CommPort::NextReadDeadlineLocked() const {
  std::optional<platform::clock::Time> next = read_->totalDeadline;
  DWORD interval = timeouts_.ReadIntervalTimeout;
  if (interval != 0 && interval != kMaxDword && read_->lastByte) {
    auto due = *read_->lastByte + Milliseconds(interval);
    if (!next || due < *next) next = due;
  }
  return next;
}

void CommPort::ArmReadTimerLocked() {
  if (read_->timer != 0) return;  // the armed timer re-arms itself for a later deadline
  auto next = NextReadDeadlineLocked();
  if (!next) return;
  std::weak_ptr<CommPort> self = weak_from_this();
  std::uint64_t serial = read_->serial;
  read_->timer = TheClock().ScheduleLocked(*next, [self, serial] {
    if (auto port = self.lock()) port->OnReadTimer(serial);
  });
}

void CommPort::OnReadTimer(std::uint64_t serial) {
  Lock lock(TheClock().Mutex());
  if (!read_ || read_->serial != serial) return;
  read_->timer = 0;
  auto next = NextReadDeadlineLocked();
  if (next && *next <= TheClock().Now()) {
    CompleteReadLocked(ERROR_SUCCESS);
  } else {
    ArmReadTimerLocked();
  }
}

void CommPort::CompleteReadLocked(DWORD error) {
  if (read_->timer != 0) TheClock().CancelLocked(read_->timer);
  OVERLAPPED* overlapped = read_->overlapped;
  platform::trace::Record(platform::trace::Event::kComRead, read_->count);
  overlapped->InternalHigh = read_->count;
  overlapped->Internal = error;
  read_.reset();
  if (overlapped->hEvent != nullptr) SetEventLocked(overlapped->hEvent);
  TheClock().Notify();  // GetOverlappedResult may wait on the record itself
}

void CommPort::DeliverLocked(std::span<const BYTE> bytes) {
  if (!open_ || disconnected_ || bytes.empty()) return;
  received_.insert(received_.end(), bytes.begin(), bytes.end());
  if (read_) {
    FillReadLocked();
    if (read_->count == read_->wanted || (read_->firstByteEnds && read_->count > 0)) {
      CompleteReadLocked(ERROR_SUCCESS);
    } else if (read_->count > 0) {
      read_->lastByte = TheClock().Now();
      ArmReadTimerLocked();
    }
  }
  if (received_.size() > inQueue_) {  // the receive queue overflows: the excess is lost
    received_.resize(inQueue_);
    errors_ |= CE_RXOVER;
  }
  bool flagged =
      std::find(bytes.begin(), bytes.end(), static_cast<BYTE>(eventChar_)) != bytes.end();
  SignalLocked(EV_RXCHAR | (flagged ? EV_RXFLAG : 0));
}

DWORD CommPort::ReceiveRoomLocked() const {
  return received_.size() < inQueue_ ? inQueue_ - static_cast<DWORD>(received_.size()) : 0;
}

void CommPort::DisconnectLocked() {
  disconnected_ = true;
  if (read_) CompleteReadLocked(ERROR_DEVICE_NOT_CONNECTED);
  if (write_) CompleteWriteLocked(ERROR_DEVICE_NOT_CONNECTED);
  if (wait_) CompleteWaitLocked(0, ERROR_DEVICE_NOT_CONNECTED);
}

// ---------------------------------------------------------------------------------------------
// Writes

BOOL CommPort::Write(const BYTE* bytes, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
  if (!overlapped_) return SyncWrite(bytes, count, written);
  if (overlapped == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  return StartWrite(bytes, count, written, overlapped);
}

BOOL CommPort::StartWrite(const BYTE* bytes, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
  {
    Lock lock(TheClock().Mutex());
    if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
    if (write_) return Failed(ERROR_INVALID_PARAMETER);  // one write at a time
    overlapped->Internal = kPending;
    overlapped->InternalHigh = 0;
    write_ = PendingWrite{overlapped, bytes, count, 0};
    if (count == 0) CompleteWriteLocked(ERROR_SUCCESS);
  }
  PumpWrite();
  Lock lock(TheClock().Mutex());
  if (overlapped->Internal == kPending) {
    if (written != nullptr) *written = 0;
    return Failed(ERROR_IO_PENDING);
  }
  if (written != nullptr) *written = static_cast<DWORD>(overlapped->InternalHigh);
  return overlapped->Internal == ERROR_SUCCESS ? TRUE
                                               : Failed(static_cast<DWORD>(overlapped->Internal));
}

void CommPort::TransmitReady() {
  PumpWrite();
}

// The port pumps the write outside the clock's mutex (it calls Transmit, which may take it).
void CommPort::TransmitReadyOf(CommPort* const& attached) {
  std::shared_ptr<CommPort> port;
  {
    Lock lock(TheClock().Mutex());
    if (attached != nullptr) port = attached->weak_from_this().lock();
  }
  if (port) port->TransmitReady();
}

// Hands the pending write's bytes to the device, outside the lock (the device may call back
// into the port). The write completes once the device has taken them all and they have left
// it, as the platform's serial driver completes a write when the hardware has its bytes. One
// thread pumps at a time; a second request makes it go round again.
void CommPort::PumpWrite() {
  Lock lock(TheClock().Mutex());
  if (pumping_) {
    pumpAgain_ = true;
    return;
  }
  pumping_ = true;
  do {
    pumpAgain_ = false;
    if (!write_ || !open_) break;
    OVERLAPPED* overlapped = write_->overlapped;
    std::span<const BYTE> rest(write_->bytes + write_->done, write_->count - write_->done);
    lock.unlock();
    std::size_t taken = rest.empty() ? 0 : backend_->Transmit(rest);
    bool left = taken == rest.size() && backend_->Drained();
    lock.lock();
    if (!write_ || write_->overlapped != overlapped) break;  // aborted meanwhile
    write_->done += static_cast<DWORD>(taken);
    if (left) CompleteWriteLocked(ERROR_SUCCESS);
  } while (pumpAgain_);
  pumping_ = false;
}

void CommPort::CompleteWriteLocked(DWORD error) {
  OVERLAPPED* overlapped = write_->overlapped;
  platform::trace::Record(platform::trace::Event::kComWrite, write_->done);
  overlapped->InternalHigh = write_->done;
  overlapped->Internal = error;
  // The last byte has left the device: the port's output queue is empty.
  bool emptied = error == ERROR_SUCCESS && write_->done > 0;
  write_.reset();
  if (overlapped->hEvent != nullptr) SetEventLocked(overlapped->hEvent);
  if (emptied) SignalLocked(EV_TXEMPTY);
  TheClock().Notify();
}

// A port opened without FILE_FLAG_OVERLAPPED blocks the caller until the request completes.
BOOL CommPort::SyncRead(BYTE* buffer, DWORD count, DWORD* read) {
  OVERLAPPED record{};
  BOOL ok = StartRead(buffer, count, read, &record);
  if (ok || GetLastError() != ERROR_IO_PENDING) return ok;
  return GetOverlappedResult(nullptr, &record, read, TRUE);
}

BOOL CommPort::SyncWrite(const BYTE* bytes, DWORD count, DWORD* written) {
  OVERLAPPED record{};
  BOOL ok = StartWrite(bytes, count, written, &record);
  if (ok || GetLastError() != ERROR_IO_PENDING) return ok;
  return GetOverlappedResult(nullptr, &record, written, TRUE);
}

// ---------------------------------------------------------------------------------------------
// Events

BOOL CommPort::SetMask(DWORD mask) {
  if ((mask & ~kKnownEvents) != 0) return Failed(ERROR_INVALID_PARAMETER);
  Lock lock(TheClock().Mutex());
  if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  // A new mask ends the wait in progress with no event; of the events seen meanwhile, those
  // still chosen are kept for the next wait.
  if (wait_) CompleteWaitLocked(0, ERROR_SUCCESS);
  eventsSeen_ &= mask;
  eventMask_ = mask;
  return TRUE;
}

BOOL CommPort::GetMask(DWORD& mask) {
  Lock lock(TheClock().Mutex());
  if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  mask = eventMask_;
  return TRUE;
}

BOOL CommPort::WaitEvent(DWORD* events, OVERLAPPED* overlapped) {
  if (events == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (!overlapped_) return SyncWait(events);
  if (overlapped == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  return StartWait(events, overlapped);
}

BOOL CommPort::StartWait(DWORD* events, OVERLAPPED* overlapped) {
  Lock lock(TheClock().Mutex());
  if (disconnected_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  // Without a chosen event nothing could end the wait; and there is one wait at a time.
  if (eventMask_ == 0 || wait_) return Failed(ERROR_INVALID_PARAMETER);
  overlapped->Internal = kPending;
  overlapped->InternalHigh = 0;
  wait_ = PendingWait{overlapped, events};
  if (eventsSeen_ != 0) {  // events that came before the wait end it at once
    CompleteWaitLocked(std::exchange(eventsSeen_, 0), ERROR_SUCCESS);
    return TRUE;
  }
  return Failed(ERROR_IO_PENDING);
}

// A port opened without FILE_FLAG_OVERLAPPED blocks the caller until an event comes. A wait
// that ends without its completion (the thread was interrupted) gives up the request, whose
// record is about to go.
BOOL CommPort::SyncWait(DWORD* events) {
  OVERLAPPED record{};
  BOOL ok = StartWait(events, &record);
  if (ok || GetLastError() != ERROR_IO_PENDING) return ok;
  DWORD ignored = 0;
  ok = GetOverlappedResult(nullptr, &record, &ignored, TRUE);
  Lock lock(TheClock().Mutex());
  if (wait_ && wait_->overlapped == &record) wait_.reset();
  return ok;
}

// Events are kept only while chosen, and the wait in progress takes all that were kept.
void CommPort::SignalLocked(DWORD events) {
  eventsSeen_ |= events & eventMask_;
  if (wait_ && eventsSeen_ != 0) CompleteWaitLocked(std::exchange(eventsSeen_, 0), ERROR_SUCCESS);
}

void CommPort::CompleteWaitLocked(DWORD events, DWORD error) {
  OVERLAPPED* overlapped = wait_->overlapped;
  if (error == ERROR_SUCCESS) *wait_->events = events;
  overlapped->InternalHigh = error == ERROR_SUCCESS ? sizeof(DWORD) : 0;
  overlapped->Internal = error;
  wait_.reset();
  if (overlapped->hEvent != nullptr) SetEventLocked(overlapped->hEvent);
  TheClock().Notify();
}

// CTS, DSR and the carrier report every change. The ring indicator reports as a UART does, on
// its trailing edge only: EV_RING marks the end of a ring, not its start.
void CommPort::LinesChangedLocked(DWORD before, DWORD after) {
  if (!open_ || disconnected_) return;
  DWORD changed = before ^ after;
  DWORD events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  if ((before & MS_RING_ON) && !(after & MS_RING_ON)) events |= EV_RING;
  SignalLocked(events);
}

void CommPort::LineErrorsLocked(DWORD errors) {
  if (!open_ || disconnected_) return;
  errors_ |= errors;
  DWORD events = 0;
  if (errors & CE_BREAK) events |= EV_BREAK;
  if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) events |= EV_ERR;
  SignalLocked(events);
}

}  // namespace platform::win32
