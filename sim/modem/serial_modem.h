// A simulated modem on an in-process COM port: the firmware's answers reach the port as timed
// deliveries on the current clock, and the port shows the modem's line status. A purge of the
// host's queues does not stop the modem: what it has started to send still arrives afterwards,
// as on a real line.
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

 private:
  explicit SerialModem(Behaviour behaviour) : firmware_(std::move(behaviour)) {}

  std::mutex mutex_;
  Firmware firmware_;
  platform::clock::Time lastSend_{};  // answers leave in order, never overtaking each other
};

}  // namespace sim::modem
