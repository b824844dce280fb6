// The Python that runs the tests' pyserial peers: Debian's python3 with python3-serial.
#pragma once

#include <filesystem>

#include "tests/support/run_program.h"

namespace testing_support {

inline constexpr char kPython[] = "/usr/bin/python3";

// True when pyserial can be imported; a test that needs it is skipped otherwise.
inline bool HavePyserial(const std::filesystem::path& scratch) {
  return RunProgram(kPython, {"-c", "import serial"}, scratch).exitCode == 0;
}

}  // namespace testing_support
