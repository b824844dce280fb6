// mdmsim serve: simulated USB modems through the whole driver stack, in real time, their COM
// ports served to the programs of this machine until a stop signal.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

void AddServeCommand(CLI::App& app, int& result);

}  // namespace mdmsim
