// Lets the process open only a given number of descriptors more while it lives, so that a test
// can meet the host's refusal (EMFILE) at the open it means.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>

namespace testing_support {

class DescriptorLimit {
 public:
  // The sanitizers' runtime needs descriptors of its own (UndefinedBehaviorSanitizer probes
  // whether memory is readable through a pipe), so a checked process without one to spare
  // reports false faults: the tests that take them all away run in the normal build only.
#ifdef MDM_CHECKED
  static constexpr bool kUsable = false;
#else
  static constexpr bool kUsable = true;
#endif
  static constexpr const char* kWhyNot = "the sanitizers' runtime needs descriptors of its own";

  explicit DescriptorLimit(int more) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int fd = 0;
    for (int left = more + 1;; ++fd) {
      if (fcntl(fd, F_GETFD) == -1 && --left == 0) break;
    }
    rlimit tight{static_cast<rlim_t>(fd), saved_.rlim_max};
    setrlimit(RLIMIT_NOFILE, &tight);
  }
  ~DescriptorLimit() {
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

 private:
  rlimit saved_{};
};

}  // namespace testing_support
