#include "sim/portdrv/modem_port.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "platform/vxd/flat.h"
#include "platform/vxd/vmm.h"

namespace sim::portdrv {
namespace {

namespace vxd = platform::vxd;

// The ports by the context value each gave the driver (the driver calls one plain function).
struct Registry {
  std::mutex mutex;
  std::map<std::uint32_t, std::weak_ptr<ModemPort>> ports;
  std::uint32_t next = 1;
};
Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

void PortCallback(std::uint32_t context, std::uint32_t address) {
  std::shared_ptr<ModemPort> port;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.ports.find(context);
    if (it != registry.ports.end()) port = it->second.lock();
  }
  auto* record = vxd::FromFlat<PortRecord>(address);
  if (port && record != nullptr) port->FromDriver(*record);
}

// The port's device: forwards to the modem port while it exists, so that the port (which the
// modem port owns) does not keep it alive.
class Forwarder final : public platform::win32::CommDevice {
 public:
  explicit Forwarder(std::weak_ptr<ModemPort> target) : target_(std::move(target)) {}
  std::size_t OnTransmit(platform::win32::InProcessPort& port,
                         std::span<const BYTE> bytes) override {
    auto target = target_.lock();
    return target ? target->OnTransmit(port, bytes) : bytes.size();
  }
  void OnLineSettings(platform::win32::InProcessPort& port, const DCB& dcb) override {
    if (auto target = target_.lock()) target->OnLineSettings(port, dcb);
  }
  void OnModemControl(platform::win32::InProcessPort& port, bool dtr, bool rts) override {
    if (auto target = target_.lock()) target->OnModemControl(port, dtr, rts);
  }
  void OnPurge(platform::win32::InProcessPort& port, DWORD flags) override {
    if (auto target = target_.lock()) target->OnPurge(port, flags);
  }
  void OnOpen(platform::win32::InProcessPort& port) override {
    if (auto target = target_.lock()) target->OnOpen(port);
  }
  void OnClose(platform::win32::InProcessPort& port) override {
    if (auto target = target_.lock()) target->OnClose(port);
  }

 private:
  std::weak_ptr<ModemPort> target_;
};

}  // namespace

std::shared_ptr<ModemPort> ModemPort::Create(platform::wdm::Processor& processor,
                                             const std::string& comName, const std::string& unit,
                                             bool poll) {
  std::shared_ptr<ModemPort> modem(new ModemPort(processor, unit, poll));
  Registry& registry = TheRegistry();
  {
    std::lock_guard lock(registry.mutex);
    modem->context_ = registry.next++;
    registry.ports[modem->context_] = modem;
  }
  modem->port_ = platform::win32::InProcessPort::Create(comName);
  modem->port_->SetDevice(std::make_shared<Forwarder>(modem));
  return modem;
}

ModemPort::~ModemPort() {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.ports.erase(context_);
}

bool ModemPort::attached() const {
  std::lock_guard lock(mutex_);
  return attached_;
}

std::uint8_t ModemPort::msr() const {
  std::lock_guard lock(mutex_);
  return msr_;
}

int ModemPort::detaches() const {
  std::lock_guard lock(mutex_);
  return detaches_;
}

usbdevice::ByteDigest ModemPort::toDriverDigest() const {
  std::lock_guard lock(mutex_);
  return toDriver_;
}

// ---- The application's side (any thread) ------------------------------------------------------

std::size_t ModemPort::OnTransmit(platform::win32::InProcessPort&, std::span<const BYTE> bytes) {
  std::lock_guard lock(mutex_);
  std::size_t room = kQueueSize - transmit_.size();
  std::size_t taken = std::min(room, bytes.size());
  transmit_.insert(transmit_.end(), bytes.begin(), bytes.begin() + static_cast<long>(taken));
  if (taken < bytes.size()) writerWaiting_ = true;
  return taken;
}

void ModemPort::OnOpen(platform::win32::InProcessPort&) {
  processor_.Call([this] { Attach(); });
}

void ModemPort::OnClose(platform::win32::InProcessPort&) {
  processor_.Call([this] { CallDriver(kWdmDetach, 0, 0); });
  std::lock_guard lock(mutex_);
  attached_ = false;
  transmit_.clear();
}

void ModemPort::OnModemControl(platform::win32::InProcessPort&, bool dtr, bool rts) {
  std::uint32_t bits = (dtr ? 1u : 0u) | (rts ? 2u : 0u);
  processor_.Call([this, bits] { CallDriver(kWdmSetMcr, bits, 0); });
}

// The rate, then the format bytes: 16 data bits, 17 parity, 18 stop bits; and whether XON/XOFF
// from the modem stops output (bit 8) or the port sends XON/XOFF itself (bit 9).
void ModemPort::OnLineSettings(platform::win32::InProcessPort&, const DCB& dcb) {
  std::uint32_t format = dcb.ByteSize | static_cast<std::uint32_t>(dcb.Parity) << 8 |
                         static_cast<std::uint32_t>(dcb.StopBits) << 16;
  std::uint32_t xonxoff = (dcb.fOutX ? 0x100u : 0u) | (dcb.fInX ? 0x200u : 0u);
  processor_.Call([this, rate = dcb.BaudRate, format, xonxoff] {
    CallDriver(kWdmSetLine, rate, format);
    CallDriver(kWdmSetXonXoff, xonxoff, 0);
  });
}

void ModemPort::OnPurge(platform::win32::InProcessPort&, DWORD flags) {
  if ((flags & PURGE_TXCLEAR) == 0) return;
  std::lock_guard lock(mutex_);
  transmit_.clear();
}

// ---- The driver's side (the processor) --------------------------------------------------------

void ModemPort::Attach() {
  std::vector<char> name(unit_.begin(), unit_.end());
  name.push_back('\0');
  vxd::FlatScope flatName(name.data(), name.size());
  PortRecord record{};
  record.function = poll_ ? 0 : kWdmAttach;
  record.unitName = flatName.flat();
  record.parameter1 = context_;
  record.parameter2 = vxd::EntryToFlat<PortCallbackFn>(&PortCallback);
  vxd::FlatScope flatRecord(record);
  // The carry flag only mirrors the entry's return value (0 for a new attach at either entry);
  // whether the driver found the unit shows in the record.
  vxd::SendControlMessage(kDriverName, poll_ ? kPollMessage : kAttachMessage, flatRecord.flat());
  bool found = (record.result & 0x80000000u) == 0 && record.callbackEntry != 0;
  std::lock_guard lock(mutex_);
  attached_ = found;
  deviceHandle_ = attached_ ? record.deviceHandle : 0;
  driverEntry_ = attached_ ? record.callbackEntry : 0;
}

void ModemPort::CallDriver(std::uint32_t function, std::uint32_t parameter1,
                           std::uint32_t parameter2) {
  std::uint32_t handle, entry;
  {
    std::lock_guard lock(mutex_);
    if (!attached_) return;
    handle = deviceHandle_;
    entry = driverEntry_;
  }
  DriverCallbackFn* callback = vxd::EntryFromFlat<DriverCallbackFn>(entry);
  if (callback == nullptr) return;
  PortRecord record{};
  record.function = function;
  record.parameter1 = parameter1;
  record.parameter2 = parameter2;
  vxd::FlatScope flat(record);
  callback(handle, flat.flat());
}

void ModemPort::FromDriver(PortRecord& record) {
  switch (record.function) {
    case kPortPutMsr:
      PutMsr(record);
      break;
    case kPortGetData:
      GetData(record.parameter1);
      break;
    case kPortPutData:
      PutData(record.parameter1);
      break;
    case kPortDetach: {
      std::lock_guard lock(mutex_);
      attached_ = false;
      deviceHandle_ = 0;
      driverEntry_ = 0;
      ++detaches_;
      break;
    }
    default:
      break;
  }
}

void ModemPort::PutMsr(PortRecord& record) {
  auto msr = static_cast<std::uint8_t>(record.parameter1 >> 8);
  std::size_t waiting;
  {
    std::lock_guard lock(mutex_);
    msr_ = msr;
    waiting = transmit_.size();
  }
  // The register's upper half is what GetCommModemStatus shows (MS_CTS_ON .. MS_RLSD_ON).
  port_->SetModemStatus(msr & 0xF0);
  // Received bytes go straight on to the COM port's queue: its room is the room. An application
  // that does not read leaves none, and the driver stops taking the modem's bytes rather than
  // let the queue overflow.
  record.parameter1 = std::min<std::uint32_t>(kQueueSize, port_->ReceiveRoom());
  record.result = static_cast<std::uint32_t>(waiting);
}

void ModemPort::GetData(std::uint32_t countAddress) {
  auto* area = static_cast<BYTE*>(vxd::FromFlat(countAddress, 1 + 62));
  if (area == nullptr) return;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    std::size_t count = std::min<std::size_t>({area[0], 62, transmit_.size()});
    std::copy(transmit_.begin(), transmit_.begin() + static_cast<long>(count), area + 1);
    transmit_.erase(transmit_.begin(), transmit_.begin() + static_cast<long>(count));
    area[0] = static_cast<BYTE>(count);
    toDriver_.Add(std::span<const BYTE>(area + 1, count));
    wake = writerWaiting_ && count != 0;
    if (wake) writerWaiting_ = false;
  }
  if (wake) port_->TransmitReady();
}

void ModemPort::PutData(std::uint32_t countAddress) {
  auto* count = static_cast<BYTE*>(vxd::FromFlat(countAddress, 1));
  if (count == nullptr || *count == 0) return;
  auto* bytes = static_cast<BYTE*>(vxd::FromFlat(countAddress, 1 + std::size_t{*count}));
  if (bytes == nullptr) return;
  port_->Deliver(std::span<const BYTE>(bytes + 1, *count));
}

}  // namespace sim::portdrv
