// mdmlinks [d]: creates the Start-menu group of the modem's utilities in the platform root
// (MDM_ROOT), or with "d" removes it. The debugger output goes to the standard error stream.
#include <cstdio>
#include <string>

#include "links/links.h"
#include "platform/base/abrupt_end.h"
#include "platform/base/version.h"
#include "platform/win32/debug.h"

namespace {

constexpr char kHelp[] =
    "mdmlinks: puts the USB modem's utilities into the Start menu of the platform root, or takes "
    "them out again.\n"
    "Usage: mdmlinks [d]\n\n"
    "The command line is taken as installers give it: an empty one creates the group \"USB "
    "Modem Utility 02\" in Start Menu/Programs with the shortcuts \"USB Modem Update\" and "
    "\"USB Modem Uninstall\"; one whose first character is d removes the group; anything else "
    "does nothing. Only a command line of exactly --help or --version prints and does nothing "
    "else.\n\n"
    "Options:\n"
    "  --help                      Print this help message and exit\n"
    "  --version                   Print the version and exit\n\n"
    "Environment: MDM_ROOT is the platform root (default $XDG_DATA_HOME/mdm, or "
    "~/.local/share/mdm). The debugger output (what failed) goes to standard error; MDM_DEBUG=1 "
    "time-stamps each line.\n\n"
    "Exit status: always 0.\n";

}  // namespace

int main(int argc, char** argv) {
  // Whatever happens, the program's exit code is 0; a failure it cannot go on from is one line.
  platform::EndAbruptlyButCleanly("mdmlinks", 0);
  if (platform::AnswerHelpOrVersion(argc, argv, "mdmlinks", kHelp,
                                    {"Speaks no modem protocol: creates or removes the Start-menu "
                                     "group of the modem's utilities."})) {
    return 0;
  }
  // The platform hands the program the text after its name; the host hands it in pieces.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  platform::win32::debug::SetStream(stderr, platform::DebugAskedByEnvironment());
  return mdmlinks::RunLinks(commandLine.c_str());
}
