// `mdmsim chat`: the serial port session talking to simulated modems, at the serial level or
// through the whole driver stack.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace mdmsim {

// Each command stores its program exit code into `result` when it runs.
void AddChatCommand(CLI::App& app, int& result);

// Sends each command (CR LF appended, except to "x") to `modems` USB modems through mdmcore and
// prints the answers; 0 when every modem started and the driver unloaded cleanly.
int ChatThroughDriver(const std::vector<std::string>& commands, int modems);

}  // namespace mdmsim
