// One update session run headless in virtual time against simulated USB modems behind the
// whole driver stack: mdmcore loaded, the modems plugged and started, each presented as a COM
// port by the serial-port driver. The world of `mdmsim update --link usb`, the end-to-end tests
// and the benchmarks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/modem/firmware.h"
#include "sim/usbdevice/modem.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"

namespace mdmsim {

struct UsbModemSetup {
  sim::usbdevice::ModemIdentity identity;
  sim::modem::Behaviour behaviour;
};

// Something that happens while the session runs: once modem `modem` has taken `afterBytes` bytes
// from the host, `action` runs on a thread of its own, as the system's Plug and Play manager or a
// user pulling the cable would: faults in the middle of a transfer, an unplug.
struct UsbEvent {
  std::size_t modem = 0;
  std::uint64_t afterBytes = 0;
  std::function<void(sim::world::World&, DriverRig&)> action;
};

struct UsbUpdate {
  SerialUpdate session;  // plain ports, image, answers, log, window; its modems stay empty
  std::vector<UsbModemSetup> modems;  // COM3 and on, in this order
  // Runs on the world thread once the modems are started, before the session: faults of the
  // bus and the devices are switched on here.
  std::function<void(sim::world::World&, DriverRig&)> beforeSession;
  std::vector<UsbEvent> events;
};

struct UsbModemOutcome : ModemOutcome {
  std::string serial;
  bool started = false;    // the driver started it and it is presented as `port`
  bool pulledOut = false;  // an event took it off the bus during the session
  // Every byte the serial-port driver handed to mdmcore reached the modem once and in order.
  bool streamIntact = false;
  // Payload bytes of the data paths: host to modem, and modem to host.
  std::uint64_t bytesFromHost = 0;
  std::uint64_t bytesToHost = 0;
};

struct UsbUpdateResult {
  std::int64_t virtualMs = 0;
  std::uint64_t handovers = 0;  // times the clock's turn went from one thread to another
  std::string log;
  std::vector<UsbModemOutcome> modems;
  int eventsRun = 0;           // events whose moment came during the session
  bool driverStopped = false;  // every modem stopped, removed and the driver unloaded cleanly
  std::string poolReport;      // the driver's pool after that
  // True when every modem was started, every modem offered an image holds it, the driver
  // stopped cleanly and no pool block is left.
  bool AllGood() const;
};

// Resets the platform of the current root (MDM_ROOT), lists the plain ports, loads the driver,
// plugs the modems, runs the session to its end and closes it as the Exit button does, then
// unplugs every modem and unloads the driver.
UsbUpdateResult RunUsbUpdate(const UsbUpdate& update);

}  // namespace mdmsim
