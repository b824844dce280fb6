// `mdmsim chat` and `mdmsim demo`: the serial port session talking to simulated modems.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

// Each command stores its program exit code into `result` when it runs.
void AddChatCommand(CLI::App& app, int& result);
void AddDemoCommand(CLI::App& app, int& result);

}  // namespace mdmsim
