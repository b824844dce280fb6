// The faults `mdmsim` can switch on in the simulated modems, by name.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/modem/firmware.h"

namespace mdmsim {

struct ModemFault {
  std::string name;
  std::string help;
  void (*apply)(sim::modem::Behaviour& behaviour);
};

const std::vector<ModemFault>& ModemFaults();

// "NAME" or "NAME@PORT": the fault for every modem or for the modem on PORT.
struct FaultChoice {
  const ModemFault* fault = nullptr;
  std::string port;  // empty: every modem
};

// The fault a choice names, or none (fault null) when the name is unknown.
FaultChoice ParseFaultChoice(const std::string& text);

// One line per fault for --help.
std::string FaultHelp();

}  // namespace mdmsim
