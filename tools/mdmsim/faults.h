// The faults `mdmsim` can switch on in the simulated world, by name: in a modem's firmware, or
// (through USB only) on the bus, in the modem's USB side and in the driver's allocations, each
// striking at a moment and with a strength its parameters give.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/modem/firmware.h"
#include "sim/world/world.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/usb_update.h"

namespace mdmsim {

// When a fault of the USB side strikes, how long and how hard. As text, after the fault's name
// and port: ":at=2300,wait=40,n=12,p=30,for=500,kind=request"; what is not given keeps the
// fault's own default.
struct Strike {
  std::uint64_t at = 1500;  // once the modem has taken this many bytes from the host
  int waitMs = 0;           // and this much virtual time more has passed
  int count = 0;            // how many packets or transfers, or which allocation (the n-th)
  int percent = 100;        // the chance of each packet or frame (noise)
  int forMs = 0;            // how long a fault that lasts is on
  unsigned kinds = 0;       // allocation kinds (platform::wdm::pool::Kind)
};

// Where an allocation failure strikes: the modem's start, the session (at the strike's moment),
// or the modem's stop after the session.
enum class Phase { kNone, kStart, kSession, kStop };

struct ModemFault {
  std::string name;
  std::string help;
  // In the modem's firmware, from the start.
  void (*apply)(sim::modem::Behaviour& behaviour) = nullptr;
  // Through USB: on the world thread at the strike's moment, and for a fault that lasts, again
  // with kDuring every check and kEnd when it is over.
  void (*onUsb)(sim::world::World& world, RiggedModem& modem, const Strike& strike,
                EventTick tick) = nullptr;
  // Through USB, on a thread of its own at the strike's moment (a removal).
  void (*action)(DriverRig& rig, RiggedModem& modem) = nullptr;
  Phase allocation = Phase::kNone;
  Strike defaults;
  // How a seed draws the strike's parameters (none: the defaults).
  void (*draw)(std::mt19937& random, std::size_t imageSize, Strike& strike) = nullptr;
  // The driver must ride it out: the modem still takes the image byte for byte.
  bool riddenOut = false;
};

const std::vector<ModemFault>& ModemFaults();

// "NAME", "NAME@PORT", and either with ":PARAMETERS": the fault with its strike for every modem
// or for the modem on PORT.
struct FaultChoice {
  const ModemFault* fault = nullptr;
  std::string port;  // upper case; empty: every modem
  Strike strike;
  std::string error;       // why the text names no fault, when fault is null
  bool nameKnown = false;  // the name is a fault's, even when the rest is wrong
};

// The fault a choice names, or none (fault null, and error saying which part is wrong) when the
// name is unknown, "@" has no port, or a parameter is unknown or out of its range.
FaultChoice ParseFaultChoice(const std::string& text);

// "NAME@PORT:PARAMETERS" with the parameters the seed drew for it.
std::string DrawFault(const ModemFault& fault, const std::string& port, std::mt19937& random,
                      std::size_t imageSize);

// The event that strikes the modem at index `modem` with a fault of the USB side (not an
// allocation failure of the start or the stop), with its own or its default strike.
UsbEvent EventFor(const ModemFault& fault, std::size_t modem, const Strike& strike);
UsbEvent EventFor(const ModemFault& fault, std::size_t modem);

// Switches the fault on for modem `modem` of the update: in its firmware, as an event, or as an
// allocation failure of its start or stop.
void AddFault(UsbUpdate& update, std::size_t modem, const FaultChoice& choice);

// One line per fault for --help.
std::string FaultHelp();

}  // namespace mdmsim
