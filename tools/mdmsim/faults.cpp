#include "tools/mdmsim/faults.h"

namespace mdmsim {
namespace {

using sim::modem::Behaviour;
using sim::modem::ZmodemStep;

const std::vector<ModemFault> kFaults = {
    {"no-prompt", "the modem hangs when asked for download mode",
     [](Behaviour& b) { b.downloadAnswer = ""; }},
    {"no-prompt-text", "the modem answers the download request without \">>>\"",
     [](Behaviour& b) { b.downloadAnswer = "OK"; }},
    {"no-zrinit", "no answer to ZRQINIT",
     [](Behaviour& b) { b.zmodem.silentAt = {ZmodemStep::kZrinit}; }},
    {"binary-zrinit", "ZRINIT as a binary header",
     [](Behaviour& b) { b.zmodem.binaryHeaderAt = {ZmodemStep::kZrinit}; }},
    {"uppercase-zrpos", "ZRPOS with uppercase hex digits",
     [](Behaviour& b) { b.zmodem.uppercaseHexAt = {ZmodemStep::kZrpos}; }},
    {"wrong-zrpos", "another header type instead of ZRPOS",
     [](Behaviour& b) { b.zmodem.wrongTypeAt = {ZmodemStep::kZrpos}; }},
    {"zrpos-elsewhere", "ZRPOS names position 1024 (the sender starts at 0 all the same)",
     [](Behaviour& b) { b.zmodem.zrposPosition = 1024; }},
    {"no-ack", "no answer to the first data block",
     [](Behaviour& b) {
       b.zmodem.silentAt = {ZmodemStep::kZack, 1};
     }},
    {"bad-crc-ack", "a bad CRC in the answer to the first data block",
     [](Behaviour& b) {
       b.zmodem.badCrcAt = {ZmodemStep::kZack, 1};
     }},
    {"flash-error", "the flash check reports ERROR",
     [](Behaviour& b) { b.zmodem.flashCheckFails = true; }},
    {"no-final-reply", "nothing after the flash check",
     [](Behaviour& b) { b.zmodem.silentAt = {ZmodemStep::kFinalReply}; }},
};

}  // namespace

const std::vector<ModemFault>& ModemFaults() {
  return kFaults;
}

FaultChoice ParseFaultChoice(const std::string& text) {
  FaultChoice choice;
  std::string name = text;
  if (auto at = text.find('@'); at != std::string::npos) {
    name = text.substr(0, at);
    choice.port = text.substr(at + 1);
  }
  for (const ModemFault& fault : kFaults) {
    if (fault.name == name) choice.fault = &fault;
  }
  return choice;
}

std::string FaultHelp() {
  std::string text;
  for (const ModemFault& fault : kFaults) text += "  " + fault.name + ": " + fault.help + "\n";
  return text;
}

}  // namespace mdmsim
