#include "sim/modem/serial_modem.h"

#include <algorithm>

namespace sim::modem {

std::shared_ptr<SerialModem> SerialModem::Attach(
    const std::shared_ptr<platform::win32::InProcessPort>& port, Behaviour behaviour,
    DWORD lineStatus) {
  std::shared_ptr<SerialModem> modem(
      new SerialModem(std::move(behaviour), port->Snapshot().dcb.BaudRate));
  port->SetModemStatus(lineStatus);
  port->SetDevice(modem);
  return modem;
}

platform::clock::Duration SerialModem::LineTime(std::size_t bytes) const {
  constexpr std::int64_t kBitsPerByte = 10;
  if (baudRate_ == 0) return {};
  return std::chrono::nanoseconds(static_cast<std::int64_t>(bytes) * kBitsPerByte *
                                  1'000'000'000LL / baudRate_);
}

std::size_t SerialModem::OnTransmit(platform::win32::InProcessPort& port,
                                    std::span<const BYTE> bytes) {
  auto& clock = platform::clock::Current();
  std::lock_guard lock(mutex_);
  inboundFree_ = std::max(clock.Now(), inboundFree_) + LineTime(bytes.size());
  clock.Schedule(inboundFree_, [self = weak_from_this(), target = port.weak_from_this(),
                                payload = std::vector<BYTE>(bytes.begin(), bytes.end())] {
    if (auto modem = self.lock()) modem->Arrive(target, payload);
  });
  return bytes.size();
}

void SerialModem::Arrive(const std::weak_ptr<platform::win32::InProcessPort>& target,
                         const std::vector<BYTE>& bytes) {
  auto& clock = platform::clock::Current();
  std::vector<Output> out;
  std::lock_guard lock(mutex_);
  firmware_.Receive(bytes, out);
  platform::clock::Time at = std::max(clock.Now(), outboundFree_);
  for (Output& chunk : out) {
    at += chunk.after + LineTime(chunk.bytes.size());
    clock.Schedule(at, [target, payload = std::move(chunk.bytes)] {
      if (auto live = target.lock()) live->Deliver(payload);
    });
  }
  outboundFree_ = at;
}

void SerialModem::OnLineSettings(platform::win32::InProcessPort&, const DCB& dcb) {
  std::lock_guard lock(mutex_);
  baudRate_ = dcb.BaudRate;
}

void SerialModem::OnModemControl(platform::win32::InProcessPort&, bool dtr, bool) {
  std::lock_guard lock(mutex_);
  if (!dtr) firmware_.Reset();
}

}  // namespace sim::modem
