#include "platform/base/check.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void AssertionFailed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform
