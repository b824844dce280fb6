#include "platform/base/abrupt_end.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "platform/base/root.h"

namespace platform {
namespace {

struct Made {
  std::mutex mutex;
  std::set<std::filesystem::path> files;
};

Made& TheMade() {
  static Made made;
  return made;
}

const char* gProgram = "program";
int gStatus = 1;
std::atomic<bool> gEnding{false};

std::string Cause() {
  try {
    if (std::exception_ptr failure = std::current_exception()) std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::system_error& failure) {
    // A thread the host refuses (no room for its stack, a limit on threads) comes as EAGAIN.
    const std::error_code code = failure.code();
    if (code == std::errc::resource_unavailable_try_again) {
      return std::string("the host refused a thread (") + failure.what() + ")";
    }
    if (code == std::errc::too_many_files_open ||
        code == std::errc::too_many_files_open_in_system) {
      return std::string("no file descriptor left (") + failure.what() + ")";
    }
    return failure.what();
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
  }
  return "an unexpected failure";
}

[[noreturn]] void EndNow() {
  // A second failure meanwhile (another thread's) waits for the first to end the program.
  if (gEnding.exchange(true)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  std::fflush(stdout);  // what the program said so far stays said
  std::fprintf(stderr, "%s: cannot go on: %s\n", gProgram, Cause().c_str());
  {
    std::lock_guard lock(TheMade().mutex);
    std::error_code ignored;
    for (const auto& file : TheMade().files) std::filesystem::remove(file, ignored);
  }
  RemoveTemporaryRoots();
  std::fflush(stderr);
  std::_Exit(gStatus);
}

}  // namespace

void EndAbruptlyButCleanly(const char* program, int status) {
  gProgram = program;
  gStatus = status;
  std::set_terminate(EndNow);
}

void RemoveAtAbruptEnd(const std::filesystem::path& path) {
  std::lock_guard lock(TheMade().mutex);
  TheMade().files.insert(path);
}

void ForgetAtAbruptEnd(const std::filesystem::path& path) {
  std::lock_guard lock(TheMade().mutex);
  TheMade().files.erase(path);
}

}  // namespace platform
