// `mdmsim plug`: loads mdmcore, plugs one simulated modem, starts, stops and removes it, unloads
// the driver and reports the pool.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

void AddPlugCommand(CLI::App& app, int& result);

}  // namespace mdmsim
