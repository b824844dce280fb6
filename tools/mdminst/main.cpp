// mdminst: appends the text it was started with (the modem's serial number, "#" and its product
// name) as one line to mdminst.log in the platform root, so that a user and a test can see
// every start.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/abrupt_end.h"
#include "platform/base/root.h"
#include "platform/base/version.h"

namespace {

constexpr char kHelp[] =
    "mdminst: the install program the driver starts at every start of a USB modem; it records "
    "each start.\n"
    "Usage: mdminst [TEXT...]\n\n"
    "Appends the text it was started with (the modem's serial number, \"#\" and its product "
    "name) as one line to mdminst.log in the platform root. Only a command line of exactly "
    "--help or --version prints and records nothing.\n\n"
    "Options:\n"
    "  --help                      Print this help message and exit\n"
    "  --version                   Print the version and exit\n\n"
    "Environment: MDM_ROOT is the platform root (default $XDG_DATA_HOME/mdm, or "
    "~/.local/share/mdm).\n\n"
    "Exit status: 0 the line was recorded, 1 mdminst.log could not be written.\n";

}  // namespace

int main(int argc, char** argv) {
  // Out of memory: one line and the status of a line it could not write.
  platform::EndAbruptlyButCleanly("mdminst", 1);
  if (platform::AnswerHelpOrVersion(argc, argv, "mdminst", kHelp,
                                    {"Speaks no modem protocol: records each start of a USB "
                                     "modem that the driver reports."})) {
    return 0;
  }
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  std::filesystem::path root = platform::Root();
  std::error_code error;
  std::filesystem::create_directories(root, error);
  std::ofstream log(root / "mdminst.log", std::ios::app);
  if (!log) {
    std::fprintf(stderr, "mdminst: cannot write %s\n", (root / "mdminst.log").string().c_str());
    return 1;
  }
  log << text << '\n';
  return 0;
}
