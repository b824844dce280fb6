// A failure that no thread catches (here a thread the host refused) ends the program with one
// line naming it, the files it made for other programs removed, and its own exit status.
#include "platform/base/abrupt_end.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace {

TEST(AbruptEnd, AnUncaughtFailureIsOneLineAndRemovesWhatWasMade) {
  // Outside any platform root, which the end removes whole.
  const std::filesystem::path made = std::filesystem::temp_directory_path() /
                                     ("abrupt-end-" + std::to_string(::getpid()) + ".lines");
  std::ofstream(made) << "cts dsr\n";
  EXPECT_EXIT(
      {
        platform::EndAbruptlyButCleanly("served", 7);
        platform::RemoveAtAbruptEnd(made);
        std::thread([] {
          throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }).join();
      },
      ::testing::ExitedWithCode(7), "^served: cannot go on: the host refused a thread \\(.*\\)\n$");
  EXPECT_FALSE(std::filesystem::exists(made));
}

}  // namespace
