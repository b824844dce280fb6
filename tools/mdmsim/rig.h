// The whole driver stack in a simulated world: mdmcore loaded, simulated USB modems plugged and
// started, each presented as a COM port by the serial-port driver. Scenarios, tests and
// benchmarks build on it; the caller owns the clock and the world.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/wdm/wdm.h"
#include "sim/portdrv/modem_port.h"
#include "sim/usbdevice/modem.h"
#include "sim/world/world.h"

namespace mdmsim {

struct RiggedModem {
  std::string comName;
  std::shared_ptr<sim::usbdevice::UsbModem> device;
  std::shared_ptr<sim::portdrv::ModemPort> port;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  bool removed = false;  // pulled off the bus while started (surprise removal)
};

class DriverRig {
 public:
  explicit DriverRig(sim::world::World& world);
  ~DriverRig();
  DriverRig(const DriverRig&) = delete;
  DriverRig& operator=(const DriverRig&) = delete;

  NTSTATUS loadStatus() const { return loadStatus_; }
  // Plugs a modem, adds and starts it, and presents it as `comName` (unit name: its serial
  // number). Null when the driver refused it. `beforeAdd` runs on the world thread once the
  // modem is on the bus, before the driver sees it.
  RiggedModem* AddModem(const std::string& comName, const sim::usbdevice::ModemIdentity& identity,
                        sim::modem::Behaviour behaviour = {},
                        const std::function<void()>& beforeAdd = {});
  std::vector<std::unique_ptr<RiggedModem>>& modems() { return modems_; }
  // The modem presented as `comName`, or null.
  RiggedModem* Find(const std::string& comName);
  // The modem is pulled off the bus while its driver has it: its transfers fail and Plug and
  // Play removes it by surprise. Its COM port stays, with nothing behind it. Not on the world
  // thread: the removal waits for the driver as the system's Plug and Play manager does.
  NTSTATUS PullOut(RiggedModem& modem);
  // Stops and removes every modem, takes them off the bus and unloads the driver. Every COM
  // port must be closed by then. Returns the first failure. `beforeStop` runs on the world
  // thread right before each modem still on the bus is stopped.
  NTSTATUS Shutdown(const std::function<void(RiggedModem&)>& beforeStop = {});

 private:
  sim::world::World& world_;
  PDRIVER_OBJECT driver_ = nullptr;
  NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
  std::vector<std::unique_ptr<RiggedModem>> modems_;
};

// "COM3", "COM4", ... for modems 0, 1, ...
std::string ComNameFor(int index);
// A serial number for modem `index` ("0000A1B2C3D4" and on).
std::u16string SerialFor(int index);
std::string Narrow(const std::u16string& text);

}  // namespace mdmsim
