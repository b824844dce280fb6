// The faults `mdmsim` can switch on in the simulated world, by name: in a modem's firmware, or
// (through USB only) on the bus and in the modem's USB side while its transfer runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/modem/firmware.h"
#include "sim/world/world.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/usb_update.h"

namespace mdmsim {

struct ModemFault {
  std::string name;
  std::string help;
  // In the modem's firmware, from the start.
  void (*apply)(sim::modem::Behaviour& behaviour) = nullptr;
  // Through USB: done on a thread of its own once the modem has taken `afterBytes` bytes from
  // the host, that is in the middle of its transfer.
  void (*onUsb)(sim::world::World& world, DriverRig& rig, RiggedModem& modem) = nullptr;
  std::uint64_t afterBytes = 0;
  // The driver must ride it out: the modem still takes the image byte for byte.
  bool riddenOut = false;
};

const std::vector<ModemFault>& ModemFaults();

// "NAME" or "NAME@PORT": the fault for every modem or for the modem on PORT.
struct FaultChoice {
  const ModemFault* fault = nullptr;
  std::string port;  // empty: every modem
};

// The fault a choice names, or none (fault null) when the name is unknown.
FaultChoice ParseFaultChoice(const std::string& text);

// The event that strikes the modem at index `modem` with a fault of the USB side.
UsbEvent EventFor(const ModemFault& fault, std::size_t modem);

// One line per fault for --help.
std::string FaultHelp();

}  // namespace mdmsim
