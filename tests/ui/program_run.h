// Runs a built program with extra environment and a wall-time limit: a program that hangs is
// killed at the limit, so that a check of a window never hangs the test run.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_program.h"

namespace ui_test {

struct LimitedRun {
  bool inTime = false;  // false: killed at the limit
  int exitCode = -1;    // -1 when it did not exit normally
  std::string out;
  std::string err;
};

inline LimitedRun RunWithLimit(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& environment,
                               const std::filesystem::path& scratch, std::chrono::seconds limit) {
  const auto outPath = scratch / "stdout.txt";
  const auto errPath = scratch / "stderr.txt";
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  pid_t child = ::fork();
  if (child == 0) {
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  LimitedRun run;
  if (child < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(child, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  } else {
    run.inTime = true;
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  }
  run.out = testing_support::ReadWholeFile(outPath);
  run.err = testing_support::ReadWholeFile(errPath);
  return run;
}

}  // namespace ui_test
