// One of the built programs running beside a test (a server the test talks to): started with
// its output in files, waited for until it prints a text, stopped with a signal. A program
// still running when the object goes is killed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_program.h"

namespace testing_support {

class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& scratch,
                    const std::map<std::string, std::string>& environment)
      : outPath_(scratch / "background-out.txt"), errPath_(scratch / "background-err.txt") {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    child_ = ::fork();
    if (child_ != 0) return;
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ~BackgroundProgram() {
    if (child_ <= 0 || exited_) return;
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // Waits until standard output holds `text`; false when the program ended or time ran out.
  bool AwaitOutput(const std::string& text, std::chrono::seconds limit) {
    return Await(outPath_, text, limit);
  }
  // The same for standard error (a service's log).
  bool AwaitError(const std::string& text, std::chrono::seconds limit) {
    return Await(errPath_, text, limit);
  }

  // Waits for the program to end by itself; its exit code, or -1 when it did not in time.
  int AwaitExit(std::chrono::seconds limit) { return Stop(0, limit); }

  // Sends `signal` (none for 0) and waits for the end; the exit code, or -1 when it did not exit in
  // time.
  int Stop(int signal, std::chrono::seconds limit) {
    if (!exited_) ::kill(child_, signal);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exited_ && std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(child_, &status_, WNOHANG) == child_) exited_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  // Stops the whole program for `pause`, as a busy host or a user's Ctrl-Z does, then lets it
  // go on.
  void Pause(std::chrono::milliseconds pause) {
    ::kill(child_, SIGSTOP);
    std::this_thread::sleep_for(pause);
    ::kill(child_, SIGCONT);
  }

  std::string out() const { return ReadWholeFile(outPath_); }
  std::string err() const { return ReadWholeFile(errPath_); }

 private:
  bool Await(const std::filesystem::path& file, const std::string& text,
             std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ReadWholeFile(file).find(text) != std::string::npos) return true;
      if (::waitpid(child_, &status_, WNOHANG) == child_) {
        exited_ = true;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::filesystem::path outPath_;
  std::filesystem::path errPath_;
  pid_t child_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

}  // namespace testing_support
