// `mdmsim sweep`: the seeded fault sweep over any number of seeds.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

void AddSweepCommand(CLI::App& app, int& result);

}  // namespace mdmsim
