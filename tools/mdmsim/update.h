// `mdmsim update`: a whole update session headless in virtual time, against simulated modems.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace mdmsim {

void AddUpdateCommand(CLI::App& app, int& result);

// A CLI check: empty when `path` is a regular file, else why not.
std::string RegularFile(const std::string& path);

}  // namespace mdmsim
