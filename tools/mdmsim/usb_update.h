// One update session run headless in virtual time against simulated USB modems behind the
// whole driver stack: mdmcore loaded, the modems plugged and started, each presented as a COM
// port by the serial-port driver. The world of `mdmsim update --link usb`, the end-to-end tests
// and the benchmarks.
#pragma once

#include <chrono>
#include <functional>
#include <map>
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

// Something that happens while the session runs, once modem `modem` has taken `afterBytes` bytes
// from the host and `wait` of virtual time more has passed: faults in the middle of a transfer,
// an unplug. `onWorld` runs on the world thread (faults of the bus and the modem are switched
// there, with no hand-over between threads): at the moment with kStrike, and when the event
// `lasts`, every check (2 ms) after it with kDuring and once with kEnd when its time is over.
// `action` runs on a thread of its own, as the system's Plug and Play manager or a user pulling
// the cable would: a removal waits for the driver.
enum class EventTick { kStrike, kDuring, kEnd };

struct UsbEvent {
  std::size_t modem = 0;
  std::uint64_t afterBytes = 0;
  std::chrono::milliseconds wait{0};
  std::chrono::milliseconds lasts{0};
  std::function<void(sim::world::World&, DriverRig&, EventTick)> onWorld;
  std::function<void(sim::world::World&, DriverRig&)> action;
};

struct UsbUpdate {
  SerialUpdate session;  // plain ports, image, answers, log, window; its modems stay empty
  std::vector<UsbModemSetup> modems;  // COM3 and on, in this order
  // Runs on the world thread once the modems are started, before the session: faults of the
  // bus and the devices are switched on here.
  std::function<void(sim::world::World&, DriverRig&)> beforeSession;
  std::vector<UsbEvent> events;
  // By modem index: run on the world thread right before the modem is started, and right before
  // it is stopped at the end; allocation failures of the start and the stop are switched on
  // here. When such a start fails, the modem is plugged in again and started once more, as a
  // user would.
  std::map<std::size_t, std::function<void()>> beforeStart;
  std::map<std::size_t, std::function<void()>> beforeStop;
};

struct UsbModemOutcome : ModemOutcome {
  std::string serial;
  bool started = false;       // the driver started it and it is presented as `port`
  bool pulledOut = false;     // an event took it off the bus during the session
  bool startRetried = false;  // its first start failed and it was plugged in again
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
