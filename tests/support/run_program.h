// Runs one of the built programs as a user would, and collects what it printed and its exit code.
// A program that does not end within its time limit is killed, so a hang never hangs the tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct ProgramResult {
  bool inTime = false;  // false: killed at the limit
  int exitCode = -1;    // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// What a run adds to the test's own environment, and how long it may take (wall time).
struct ProgramRun {
  std::map<std::string, std::string> environment;
  std::chrono::seconds limit{300};
  int signal = 0;                // sent once standard output holds `signalAfter`
  std::string signalAfter = {};  // (a signal of 0 is never sent)
  // When set, standard output goes to `output` rather than to a file (the result's `out` stays
  // empty), and the signal is sent once `ready` says so rather than on `signalAfter`.
  int output = -1;
  std::function<bool()> ready = {};
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `program` with `args` and no standard input; its output goes through files in `scratch`.
inline ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::filesystem::path& scratch, const ProgramRun& how = {}) {
  const auto outPath = scratch / "stdout.txt";
  const auto errPath = scratch / "stderr.txt";
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  pid_t child = ::fork();
  if (child == 0) {
    for (const auto& [name, value] : how.environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(
        how.output >= 0 ? how.output : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
        1);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ProgramResult run;
  if (child < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + how.limit;
  int status = 0;
  pid_t done = 0;
  bool signalled = how.signal == 0;
  auto ready = [&] {
    return how.ready ? how.ready()
                     : ReadWholeFile(outPath).find(how.signalAfter) != std::string::npos;
  };
  while ((done = ::waitpid(child, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    if (!signalled && ready()) {
      ::kill(child, how.signal);
      signalled = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  } else {
    run.inTime = true;
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  }
  if (how.output < 0) run.out = ReadWholeFile(outPath);
  run.err = ReadWholeFile(errPath);
  return run;
}

}  // namespace testing_support
