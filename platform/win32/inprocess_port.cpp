#include "platform/win32/inprocess_port.h"

#include <limits>
#include <map>
#include <utility>

#include "platform/win32/comm.h"

namespace platform::win32 {
namespace {

using platform::clock::Lock;

// Appends to a record that keeps only its last kKeptRecords entries: a port served for days
// (mdmsim serve, mdmd) must not grow with every call made to it.
template <typename T>
void KeepLast(std::vector<T>& record, T entry) {
  if (record.size() >= InProcessPort::kKeptRecords) record.erase(record.begin());
  record.push_back(std::move(entry));
}

struct PortNames {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<InProcessPort>> ports;
};

PortNames& Names() {
  static PortNames names;
  return names;
}

const char* EscapeName(DWORD function) {
  switch (function) {
    case SETXOFF:
      return "SETXOFF";
    case SETXON:
      return "SETXON";
    case SETRTS:
      return "SETRTS";
    case CLRRTS:
      return "CLRRTS";
    case SETDTR:
      return "SETDTR";
    case CLRDTR:
      return "CLRDTR";
    case SETBREAK:
      return "SETBREAK";
    case CLRBREAK:
      return "CLRBREAK";
    default:
      return "escape?";
  }
}

}  // namespace

std::shared_ptr<InProcessPort> InProcessPort::Create(const std::string& name) {
  std::shared_ptr<InProcessPort> port(new InProcessPort(name));
  std::lock_guard lock(Names().mutex);
  Names().ports[name] = port;
  return port;
}

InProcessPort::InProcessPort(std::string name) : name_(std::move(name)) {
  state_.dcb = DefaultLineSettings();
}

InProcessPort::~InProcessPort() {
  std::lock_guard lock(Names().mutex);
  auto it = Names().ports.find(name_);
  if (it != Names().ports.end() && it->second.expired()) Names().ports.erase(it);
}

std::shared_ptr<CommBackend> OpenInProcessBackend(const std::string& name) {
  std::shared_ptr<InProcessPort> port;
  {
    std::lock_guard lock(Names().mutex);
    auto it = Names().ports.find(name);
    if (it != Names().ports.end()) port = it->second.lock();
  }
  if (!port) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return port->ClaimForOpen() ? port : nullptr;
}

bool InProcessPort::ClaimForOpen() {
  std::shared_ptr<CommDevice> device;
  {
    std::lock_guard lock(mutex_);
    if (vanished_) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    if (state_.open) {  // a COM port is opened exclusively
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    state_.open = true;
    device = device_;
  }
  Record("open");
  if (device) device->OnOpen(*this);
  return true;
}

void InProcessPort::SetDevice(std::shared_ptr<CommDevice> device) {
  std::lock_guard lock(mutex_);
  device_ = std::move(device);
}

std::shared_ptr<CommDevice> InProcessPort::Device() const {
  std::lock_guard lock(mutex_);
  return device_;
}

void InProcessPort::Record(std::string what) {
  auto at = platform::clock::Current().Now();
  std::lock_guard lock(mutex_);
  KeepLast(state_.actions, Action{at, std::move(what)});
}

InProcessPort::State InProcessPort::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void InProcessPort::Deliver(std::span<const BYTE> bytes) {
  Lock lock(platform::clock::Current().Mutex());
  if (port_ != nullptr) port_->DeliverLocked(bytes);
}

DWORD InProcessPort::ReceiveRoom() const {
  Lock lock(platform::clock::Current().Mutex());
  return port_ != nullptr ? port_->ReceiveRoomLocked() : std::numeric_limits<DWORD>::max();
}

// The clock's mutex is held across the change, so that the port sees the changes in the order
// they were made.
void InProcessPort::SetModemStatus(DWORD bits) {
  Lock clockLock(platform::clock::Current().Mutex());
  DWORD before;
  {
    std::lock_guard lock(mutex_);
    before = std::exchange(state_.modemStatus, bits);
  }
  if (port_ != nullptr) port_->LinesChangedLocked(before, bits);
}

void InProcessPort::ReportLineErrors(DWORD errors) {
  Lock lock(platform::clock::Current().Mutex());
  if (port_ != nullptr) port_->LineErrorsLocked(errors);
}

void InProcessPort::SetModemStatusFails(bool fails) {
  std::lock_guard lock(mutex_);
  statusFails_ = fails;
}

void InProcessPort::Vanish() {
  {
    std::lock_guard lock(mutex_);
    vanished_ = true;
  }
  Lock lock(platform::clock::Current().Mutex());
  if (port_ != nullptr) port_->DisconnectLocked();
}

void InProcessPort::TransmitReady() {
  std::shared_ptr<CommPort> keep;
  {
    Lock lock(platform::clock::Current().Mutex());
    if (port_ != nullptr) keep = port_->weak_from_this().lock();
  }
  if (keep) keep->TransmitReady();
}

void InProcessPort::Attach(CommPort* port) {
  port_ = port;
}
void InProcessPort::Detach() {
  port_ = nullptr;
}

bool InProcessPort::ApplyState(const DCB& dcb) {
  {
    std::lock_guard lock(mutex_);
    state_.dcb = dcb;
    state_.dcb.DCBlength = sizeof(DCB);
  }
  Record("line settings");
  if (auto device = Device()) device->OnLineSettings(*this, dcb);
  return true;
}

bool InProcessPort::ReadState(DCB& dcb) {
  std::lock_guard lock(mutex_);
  dcb = state_.dcb;
  return true;
}

bool InProcessPort::Escape(DWORD function) {
  bool dtr, rts;
  {
    std::lock_guard lock(mutex_);
    if (function == SETDTR || function == CLRDTR) state_.dtr = function == SETDTR;
    if (function == SETRTS || function == CLRRTS) state_.rts = function == SETRTS;
    dtr = state_.dtr;
    rts = state_.rts;
  }
  Record(EscapeName(function));
  if (auto device = Device()) device->OnModemControl(*this, dtr, rts);
  return true;
}

bool InProcessPort::Setup(DWORD inQueue, DWORD outQueue) {
  {
    std::lock_guard lock(mutex_);
    state_.inQueue = inQueue;
    state_.outQueue = outQueue;
  }
  Record("setup " + std::to_string(inQueue) + " " + std::to_string(outQueue));
  return true;
}

COMMTIMEOUTS InProcessPort::LoadTimeouts() {
  std::lock_guard lock(mutex_);
  return state_.timeouts;
}

void InProcessPort::StoreTimeouts(const COMMTIMEOUTS& timeouts) {
  {
    std::lock_guard lock(mutex_);
    state_.timeouts = timeouts;
  }
  Record("timeouts");
}

bool InProcessPort::ModemStatus(DWORD& status) {
  std::lock_guard lock(mutex_);
  if (statusFails_) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  status = state_.modemStatus;
  return true;
}

void InProcessPort::Purge(DWORD flags) {
  {
    std::lock_guard lock(mutex_);
    KeepLast(state_.purges, flags);
  }
  Record("purge " + std::to_string(flags));
  if (auto device = Device()) device->OnPurge(*this, flags);
}

std::size_t InProcessPort::Transmit(std::span<const BYTE> bytes) {
  auto device = Device();
  // Without a device the bytes go out on a line that nobody listens to.
  return device ? device->OnTransmit(*this, bytes) : bytes.size();
}

void InProcessPort::Close() {
  std::shared_ptr<CommDevice> device;
  {
    std::lock_guard lock(mutex_);
    state_.open = false;
    device = device_;
  }
  Record("close");
  if (device) device->OnClose(*this);
}

}  // namespace platform::win32
