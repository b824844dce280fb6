// A simulated modem on an in-process COM port. The line between them runs at the rate the host
// set: every byte takes ten bit times (start, eight data bits, stop) in each direction, so the
// host's bytes reach the firmware, and its answers reach the port, when the line has carried
// them. The port shows the modem's line status. A purge of the host's queues does not stop the
// modem: what is on the line still arrives, as on a real line.
#pragma once

#include <memory>
#include <mutex>

#include "platform/clock/clock.h"
#include "platform/win32/inprocess_port.h"
#include "sim/modem/firmware.h"

namespace sim::modem {

class SerialModem final : public platform::win32::CommDevice,
                          public std::enable_shared_from_this<SerialModem> {
 public:
  // Puts a modem behind `port`. lineStatus is what GetCommModemStatus shows (MS_CTS_ON,
  // MS_DSR_ON, ...).
  static std::shared_ptr<SerialModem> Attach(
      const std::shared_ptr<platform::win32::InProcessPort>& port, Behaviour behaviour = {},
      DWORD lineStatus = MS_CTS_ON | MS_DSR_ON);

  // Runs fn with the firmware under the modem's lock (tests change behaviour mid-run).
  template <class Fn>
  auto WithFirmware(Fn fn) {
    std::lock_guard lock(mutex_);
    return fn(firmware_);
  }

  std::size_t OnTransmit(platform::win32::InProcessPort& port,
                         std::span<const BYTE> bytes) override;
  void OnModemControl(platform::win32::InProcessPort& port, bool dtr, bool rts) override;
  void OnLineSettings(platform::win32::InProcessPort& port, const DCB& dcb) override;

 private:
  SerialModem(Behaviour behaviour, DWORD baudRate)
      : firmware_(std::move(behaviour)), baudRate_(baudRate) {}

  // The bytes have crossed the line: the firmware takes them and its answers go back.
  void Arrive(const std::weak_ptr<platform::win32::InProcessPort>& port,
              const std::vector<BYTE>& bytes);
  platform::clock::Duration LineTime(std::size_t bytes) const;

  std::mutex mutex_;
  Firmware firmware_;
  DWORD baudRate_;
  platform::clock::Time inboundFree_{};   // when the line to the modem is free again
  platform::clock::Time outboundFree_{};  // likewise towards the host: answers never overtake
};

}  // namespace sim::modem
