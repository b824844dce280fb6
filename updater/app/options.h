// mdmflash's command line. The program itself has none; these options serve runs without a
// display, where nobody answers the dialogs.
#pragma once

#include <optional>
#include <string>

struct ProgramOptions {
  bool version = false;
  bool headless = false;
  bool debug = false;  // the debugger output on standard error, time-stamped
  bool list = false;   // only list the ports and their modems' answers, update nothing
  std::optional<std::string> image;        // answers the image file dialog
  std::optional<bool> sameImage;           // answers "Should this image be used ...?"
  std::optional<bool> confirmCancel;       // answers "Update is running! Cancel it ?"
  std::optional<std::string> saveLogPath;  // Save Log into this file at the end
};

// Parses the command line. On a bad one prints the usage to standard error and returns the exit
// code (2); on --help prints it and returns 0; otherwise returns nothing.
std::optional<int> ParseOptions(int argc, char** argv, ProgramOptions& options);
