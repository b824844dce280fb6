// mdmlinks [d]: creates the Start-menu group of the modem's utilities in the platform root
// (MDM_ROOT), or with "d" removes it. The debugger output goes to the standard error stream.
#include <cstdio>
#include <string>

#include "links/links.h"
#include "platform/base/abrupt_end.h"
#include "platform/win32/debug.h"

int main(int argc, char** argv) {
  // Whatever happens, the program's exit code is 0; a failure it cannot go on from is one line.
  platform::EndAbruptlyButCleanly("mdmlinks", 0);
  // The platform hands the program the text after its name; the host hands it in pieces.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  platform::win32::debug::SetStream(stderr);
  return mdmlinks::RunLinks(commandLine.c_str());
}
