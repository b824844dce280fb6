// The AT command line of the modem's command mode: "AT" and then any number of commands, each
// a letter (or "&" and a letter) with an optional number, "Sn=v" and "Sn?" for the S-registers,
// and "D" with the number to dial, which takes the rest of the line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::modem {

struct AtCommand {
  char name = 0;           // upper case: 'E', 'V', 'S', 'D', ...
  bool ampersand = false;  // "&K3": name 'K' with the ampersand
  int value = 0;           // the number after the letter (0 when there is none), or Sn=value
  int reg = 0;             // S: the register
  bool query = false;      // S: "Sn?"
  std::string number;      // D: the digits to dial
};

// The commands of a line that starts with "AT" (either case); none when the line does not
// parse (the modem answers ERROR).
std::optional<std::vector<AtCommand>> ParseAtLine(std::string_view line);

}  // namespace sim::modem
