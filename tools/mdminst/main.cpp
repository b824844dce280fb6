// mdminst: appends the text it was started with (the modem's serial number, "#" and its product
// name) as one line to mdminst.log in the platform root, so that a user and a test can see
// every start.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/abrupt_end.h"
#include "platform/base/root.h"

int main(int argc, char** argv) {
  // Out of memory: one line and the status of a line it could not write.
  platform::EndAbruptlyButCleanly("mdminst", 1);
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
    std::fprintf(stderr, "mdminst: cannot write %s\n", (root / "mdminst.log").c_str());
    return 1;
  }
  log << text << '\n';
  return 0;
}
