// The platform's serial-port driver for one modem: it presents the modem as a COM port (an
// in-process port of the win32 stand-in), attaches to the modem's driver when the port is
// opened and detaches when it is closed, keeps the transmit queue that the driver drains with
// PORT_GET_DATA, passes received bytes on to the port, shows the modem status register it is
// given, and turns DTR/RTS, line settings and XON/XOFF handling into the driver's functions.
//
// Thread-safe: application threads reach it through the COM port; every call into the modem's
// driver runs on the kernel's processor.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/wdm/processor.h"
#include "platform/win32/inprocess_port.h"
#include "sim/portdrv/port_record.h"
#include "sim/usbdevice/byte_digest.h"

namespace sim::portdrv {

class ModemPort final : public platform::win32::CommDevice,
                        public std::enable_shared_from_this<ModemPort> {
 public:
  static constexpr std::size_t kQueueSize = 4096;

  // Presents the modem whose unit name is `unit` (a prefix of its serial number) as the COM port
  // `comName`. With `poll`, the port attaches with the poll message instead of WDM_ATTACH.
  // `processor` is the kernel's, which the driver runs on (the simulated world's, or the one
  // over a real bus).
  static std::shared_ptr<ModemPort> Create(platform::wdm::Processor& processor,
                                           const std::string& comName, const std::string& unit,
                                           bool poll = false);
  ~ModemPort() override;

  const std::shared_ptr<platform::win32::InProcessPort>& port() const { return port_; }
  bool attached() const;
  // The modem status register as the driver last showed it, and how often the driver told the
  // port side that it is gone.
  std::uint8_t msr() const;
  int detaches() const;
  // Every byte handed to the modem's driver with PORT_GET_DATA, in order.
  usbdevice::ByteDigest toDriverDigest() const;

  // CommDevice
  std::size_t OnTransmit(platform::win32::InProcessPort& port,
                         std::span<const BYTE> bytes) override;
  void OnLineSettings(platform::win32::InProcessPort& port, const DCB& dcb) override;
  void OnModemControl(platform::win32::InProcessPort& port, bool dtr, bool rts) override;
  void OnPurge(platform::win32::InProcessPort& port, DWORD flags) override;
  void OnOpen(platform::win32::InProcessPort& port) override;
  void OnClose(platform::win32::InProcessPort& port) override;

  // The driver's call (on the kernel's processor).
  void FromDriver(PortRecord& record);

 private:
  ModemPort(platform::wdm::Processor& processor, std::string unit, bool poll)
      : processor_(processor), unit_(std::move(unit)), poll_(poll) {}
  // On the kernel's processor.
  void Attach();
  void CallDriver(std::uint32_t function, std::uint32_t parameter1, std::uint32_t parameter2);
  void GetData(std::uint32_t countAddress);
  void PutData(std::uint32_t countAddress);
  void PutMsr(PortRecord& record);

  platform::wdm::Processor& processor_;
  const std::string unit_;
  const bool poll_;
  std::uint32_t context_ = 0;
  std::shared_ptr<platform::win32::InProcessPort> port_;
  mutable std::mutex mutex_;  // guards the fields below
  std::deque<BYTE> transmit_;
  bool writerWaiting_ = false;
  bool attached_ = false;
  std::uint32_t deviceHandle_ = 0;
  std::uint32_t driverEntry_ = 0;
  std::uint8_t msr_ = 0;
  int detaches_ = 0;
  usbdevice::ByteDigest toDriver_;
};

}  // namespace sim::portdrv
