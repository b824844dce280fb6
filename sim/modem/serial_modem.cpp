#include "sim/modem/serial_modem.h"

#include <algorithm>

namespace sim::modem {

std::shared_ptr<SerialModem> SerialModem::Attach(
    const std::shared_ptr<platform::win32::InProcessPort>& port, Behaviour behaviour,
    DWORD lineStatus) {
  std::shared_ptr<SerialModem> modem(
      new SerialModem(std::move(behaviour), port->Snapshot().dcb.BaudRate, lineStatus));
  modem->port_ = port;
  modem->ctsFlow_ = port->Snapshot().dcb.fOutxCtsFlow != 0;
  port->SetModemStatus(lineStatus);
  port->SetDevice(modem);
  return modem;
}

bool SerialModem::PlugIntoLine(std::shared_ptr<PhoneLine> line, std::string number) {
  std::lock_guard lock(mutex_);
  return firmware_.PlugIntoLine(std::move(line), std::move(number),
                                [self = weak_from_this()](platform::clock::Time at) {
                                  if (auto modem = self.lock()) modem->LookAt(at);
                                });
}

platform::clock::Duration SerialModem::LineTime(std::size_t bytes) const {
  constexpr std::int64_t kBitsPerByte = 10;
  if (baudRate_ == 0) return {};
  return std::chrono::nanoseconds(static_cast<std::int64_t>(bytes) * kBitsPerByte *
                                  1'000'000'000LL / baudRate_);
}

// How many more bytes the host's UART may send before CTS goes off: none while it is off, and
// in data mode under RTS/CTS no more than fill the transmit buffer to its high water mark.
std::size_t SerialModem::Room() const {
  if (!ctsFlow_) return SIZE_MAX;
  if (!firmware_.lineState().cts) return 0;
  if (firmware_.mode() != Mode::kOnline || !Hardware(firmware_.settings().flow)) {
    return SIZE_MAX;
  }
  std::size_t used = firmware_.transmitLevel() + onCable_;
  return used >= Firmware::kHighWater ? 0 : Firmware::kHighWater - used;
}

std::size_t SerialModem::OnTransmit(platform::win32::InProcessPort&, std::span<const BYTE> bytes) {
  auto& clock = platform::clock::Current();
  std::lock_guard lock(mutex_);
  std::size_t take = std::min(bytes.size(), Room());
  holding_ = take < bytes.size();
  if (take == 0) return 0;
  onCable_ += take;
  inboundFree_ = std::max(clock.Now(), inboundFree_) + LineTime(take);
  clock.Schedule(inboundFree_, [self = weak_from_this(),
                                payload = std::vector<BYTE>(bytes.begin(), bytes.begin() + take)] {
    if (auto modem = self.lock()) modem->Arrive(payload);
  });
  return take;
}

void SerialModem::Arrive(const std::vector<BYTE>& bytes) {
  std::vector<Output> out;
  Changes changes;
  {
    std::lock_guard lock(mutex_);
    onCable_ -= bytes.size();
    firmware_.Receive(bytes, out);
    changes = AfterFirmware(out);
  }
  Apply(changes);
}

// A timer for each event the line queues for this modem; called from the line, perhaps with
// this modem's lock held, so it only schedules.
void SerialModem::LookAt(platform::clock::Time at) {
  platform::clock::Current().Schedule(at, [self = weak_from_this()] {
    if (auto modem = self.lock()) modem->Look();
  });
}

void SerialModem::Look() {
  std::vector<Output> out;
  Changes changes;
  {
    std::lock_guard lock(mutex_);
    firmware_.Advance(out);
    changes = AfterFirmware(out);
  }
  Apply(changes);
}

// Under the lock: the firmware's output goes to the host, after what is on its way already and
// at the port's rate; a look is scheduled for the firmware's next deadline.
SerialModem::Changes SerialModem::AfterFirmware(std::vector<Output>& out) {
  auto& clock = platform::clock::Current();
  platform::clock::Time at = std::max(clock.Now(), outboundFree_);
  for (Output& chunk : out) {
    at += chunk.after + LineTime(chunk.bytes.size());
    clock.Schedule(at, [target = port_, payload = std::move(chunk.bytes)] {
      if (auto live = target.lock()) live->Deliver(payload);
    });
  }
  outboundFree_ = at;
  auto next = firmware_.NextDeadline();
  if (next && looks_.insert(*next).second) {
    clock.Schedule(*next, [self = weak_from_this(), deadline = *next] {
      if (auto modem = self.lock()) {
        {
          std::lock_guard lock(modem->mutex_);
          modem->looks_.erase(deadline);
        }
        modem->Look();
      }
    });
  }
  LineState state = firmware_.lineState();
  Changes changes;
  changes.status = lineStatus_ & ~(MS_CTS_ON | MS_RING_ON | MS_RLSD_ON);
  if ((lineStatus_ & MS_CTS_ON) && state.cts) changes.status |= MS_CTS_ON;
  if ((lineStatus_ & MS_RING_ON) || state.ring) changes.status |= MS_RING_ON;
  if ((lineStatus_ & MS_RLSD_ON) || state.dcd) changes.status |= MS_RLSD_ON;
  changes.transmitReady = holding_ && Room() > 0;
  if (changes.transmitReady) holding_ = false;
  return changes;
}

void SerialModem::Apply(const Changes& changes) {
  auto port = port_.lock();
  if (!port) return;
  port->SetModemStatus(changes.status);
  if (changes.transmitReady) port->TransmitReady();
}

void SerialModem::OnLineSettings(platform::win32::InProcessPort&, const DCB& dcb) {
  std::lock_guard lock(mutex_);
  baudRate_ = dcb.BaudRate;
  ctsFlow_ = dcb.fOutxCtsFlow != 0;
}

// DTR off hangs up and resets the firmware; RTS tells it whether the host takes data.
void SerialModem::OnModemControl(platform::win32::InProcessPort&, bool dtr, bool rts) {
  std::vector<Output> out;
  Changes changes;
  {
    std::lock_guard lock(mutex_);
    if (!dtr) firmware_.Reset();
    firmware_.SetRts(rts);
    firmware_.Advance(out);
    changes = AfterFirmware(out);
  }
  Apply(changes);
}

}  // namespace sim::modem
