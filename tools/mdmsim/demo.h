// `mdmsim demo`: a short tour of what runs today.
#pragma once

#include <CLI/CLI.hpp>

namespace mdmsim {

void AddDemoCommand(CLI::App& app, int& result);

}  // namespace mdmsim
