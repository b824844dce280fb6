#include "sim/modem/serial_modem.h"

#include <algorithm>

namespace sim::modem {

std::shared_ptr<SerialModem> SerialModem::Attach(
    const std::shared_ptr<platform::win32::InProcessPort>& port, Behaviour behaviour,
    DWORD lineStatus) {
  std::shared_ptr<SerialModem> modem(new SerialModem(std::move(behaviour)));
  port->SetModemStatus(lineStatus);
  port->SetDevice(modem);
  return modem;
}

std::size_t SerialModem::OnTransmit(platform::win32::InProcessPort& port,
                                    std::span<const BYTE> bytes) {
  std::vector<Output> out;
  auto& clock = platform::clock::Current();
  std::lock_guard lock(mutex_);
  firmware_.Receive(bytes, out);
  platform::clock::Time at = std::max(clock.Now(), lastSend_);
  std::weak_ptr<platform::win32::InProcessPort> target = port.weak_from_this();
  for (Output& chunk : out) {
    at += chunk.after;
    clock.Schedule(at, [target, payload = std::move(chunk.bytes)] {
      if (auto live = target.lock()) live->Deliver(payload);
    });
  }
  lastSend_ = at;
  return bytes.size();
}

void SerialModem::OnModemControl(platform::win32::InProcessPort&, bool dtr, bool) {
  std::lock_guard lock(mutex_);
  if (!dtr) firmware_.Reset();
}

}  // namespace sim::modem
