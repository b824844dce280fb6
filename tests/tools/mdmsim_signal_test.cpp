// mdmsim stopped by a signal in the middle of a session: its scratch platform root goes with it.
// The signal is sent while the session runs, so these runs depend on real time.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramResult;
using testing_support::ProgramRun;
using testing_support::TempRoot;

// A pipe for a program's standard output that has room for only its first line or so: once the
// program has printed, it stands still at its next line until the pipe is read, however slowly
// the test gets to it.
class NarrowOutput {
 public:
  static constexpr int kRoom = 64;

  NarrowOutput() {
    if (::pipe2(ends_, O_CLOEXEC) != 0) return;
    int capacity = ::fcntl(ends_[1], F_GETPIPE_SZ);
    // Filled without blocking; the program then writes to it as to any blocking pipe.
    ::fcntl(ends_[1], F_SETFL, O_NONBLOCK);
    filler_ = ::write(ends_[1], std::string(capacity - kRoom, '.').data(), capacity - kRoom);
    ::fcntl(ends_[1], F_SETFL, 0);
  }
  ~NarrowOutput() {
    for (int end : ends_) ::close(end);
  }
  int WriteEnd() const { return ends_[1]; }
  bool Printed() const {
    int held = 0;
    return ::ioctl(ends_[0], FIONREAD, &held) == 0 && held > filler_;
  }
  // What the program printed, once it has ended.
  std::string Take() const {
    ::fcntl(ends_[0], F_SETFL, O_NONBLOCK);
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = ::read(ends_[0], chunk, sizeof chunk)) > 0) text.append(chunk, got);
    return text.substr(std::min<std::size_t>(text.size(), filler_));
  }

 private:
  int ends_[2] = {-1, -1};
  ssize_t filler_ = 0;
};

// Runs an update of a large image with TMPDIR in `scratch` and stops it with `signal` once the
// session has printed its first line; the session cannot end before the signal arrives.
ProgramResult StopMidSession(const TempRoot& root, const fs::path& scratch, int signal,
                             std::vector<std::string> extra = {}) {
  fs::create_directories(scratch);
  const std::string image = (root.path() / "big.bin").string();
  std::ofstream(image, std::ios::binary) << std::string(12 << 20, 'I');
  NarrowOutput output;
  ProgramRun how{{{"TMPDIR", scratch.string()}}, std::chrono::seconds(120)};
  how.signal = signal;
  how.output = output.WriteEnd();
  how.ready = [&output] { return output.Printed(); };
  std::vector<std::string> args{"update", "--image", image};
  args.insert(args.end(), extra.begin(), extra.end());
  ProgramResult run = testing_support::RunProgram(MDMSIM_PATH, args, root.path(), how);
  run.out = output.Take();
  EXPECT_EQ(run.out.rfind("Modem update tool started.", 0), 0u) << run.out;
  return run;
}

TEST(MdmsimSignals, AStoppedRunRemovesItsPlatformRootUnlessAskedToKeepIt) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    TempRoot root;
    const fs::path scratch = root.path() / "tmp";
    ProgramResult run = StopMidSession(root, scratch, signal);
    ASSERT_TRUE(run.inTime);
    EXPECT_EQ(run.exitCode, 128 + signal) << run.out;
    EXPECT_NE(run.err.find(signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(fs::is_empty(scratch)) << fs::directory_iterator(scratch)->path();
  }
  TempRoot root;
  const fs::path scratch = root.path() / "tmp";
  ProgramResult kept = StopMidSession(root, scratch, SIGTERM, {"--keep-root"});
  ASSERT_TRUE(kept.inTime);
  EXPECT_EQ(kept.exitCode, 128 + SIGTERM) << kept.out;
  EXPECT_FALSE(fs::is_empty(scratch)) << "--keep-root was not respected";
}

}  // namespace
