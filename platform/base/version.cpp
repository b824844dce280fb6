#include "platform/base/version.h"

#include <cstdio>
#include <string_view>

namespace platform {

const char* Version() {
  return MDM_VERSION;
}

void PrintVersion(const char* program, std::initializer_list<const char*> facts) {
  std::printf("%s %s\n", program, Version());
  for (const char* fact : facts) std::printf("%s\n", fact);
  std::fflush(stdout);
}

bool AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* help,
                         std::initializer_list<const char*> facts) {
  if (argc != 2) return false;
  const std::string_view word = argv[1];
  if (word == "--version") {
    PrintVersion(program, facts);
    return true;
  }
  if (word != "--help") return false;
  std::fputs(help, stdout);
  std::fflush(stdout);
  return true;
}

}  // namespace platform
