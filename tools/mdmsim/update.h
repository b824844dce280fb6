// `mdmsim update`: a whole update session headless in virtual time, against simulated modems.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

void AddUpdateCommand(CLI::App& app, int& result);

}  // namespace mdmsim
