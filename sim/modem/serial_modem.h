// A simulated modem on an in-process COM port. The line between them runs at the rate the host
// set: every byte takes ten bit times (start, eight data bits, stop) in each direction, so the
// host's bytes reach the firmware, and its answers reach the port, when the line has carried
// them. The port shows the modem's line status: DSR as given, CTS, RI and DCD as the firmware
// drives them during calls. A purge of the host's queues does not stop the modem: what is on
// the line still arrives, as on a real line. With CTS flow control in the port's line settings
// the host's UART sends nothing while CTS is off, and no more than the modem's transmit buffer
// takes up to its high water mark.
#pragma once

#include <memory>
#include <mutex>
#include <set>

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

  // Gives the modem a number on the phone line (false: taken); its calls run from clock timers.
  bool PlugIntoLine(std::shared_ptr<PhoneLine> line, std::string number);

  std::size_t OnTransmit(platform::win32::InProcessPort& port,
                         std::span<const BYTE> bytes) override;
  void OnModemControl(platform::win32::InProcessPort& port, bool dtr, bool rts) override;
  void OnLineSettings(platform::win32::InProcessPort& port, const DCB& dcb) override;

 private:
  SerialModem(Behaviour behaviour, DWORD baudRate, DWORD lineStatus)
      : firmware_(std::move(behaviour)), baudRate_(baudRate), lineStatus_(lineStatus) {}

  // What the port is to show and whether a held write may go on, decided under the lock and
  // done after it (the port calls back into the modem).
  struct Changes {
    DWORD status = 0;
    bool transmitReady = false;
  };

  // The bytes have crossed the line: the firmware takes them and its answers go back.
  void Arrive(const std::vector<BYTE>& bytes);
  // Runs what the firmware has due by now (a clock timer at a deadline it named).
  void Look();
  void LookAt(platform::clock::Time at);
  Changes AfterFirmware(std::vector<Output>& out);
  void Apply(const Changes& changes);
  std::size_t Room() const;
  platform::clock::Duration LineTime(std::size_t bytes) const;

  std::mutex mutex_;
  Firmware firmware_;
  std::weak_ptr<platform::win32::InProcessPort> port_;
  DWORD baudRate_;
  DWORD lineStatus_;
  bool ctsFlow_ = false;                   // the port's line settings honour CTS
  bool holding_ = false;                   // a write waits for CTS or room
  std::size_t onCable_ = 0;                // host bytes on their way to the modem
  std::set<platform::clock::Time> looks_;  // deadlines a look is scheduled for
  platform::clock::Time inboundFree_{};    // when the line to the modem is free again
  platform::clock::Time outboundFree_{};   // likewise towards the host: answers never overtake
};

}  // namespace sim::modem
