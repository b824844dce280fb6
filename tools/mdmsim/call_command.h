// `mdmsim call`: a call between two simulated USB modems through the whole driver stack, in
// virtual time, with a file crossing it.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

void AddCallCommand(CLI::App& app, int& result);

}  // namespace mdmsim
