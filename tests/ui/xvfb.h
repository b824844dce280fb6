// A private X server for checks of the real window: Xvfb picks a free display number itself
// (-displayfd) and reports it; the server is stopped when the object goes. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace ui_test {

class Xvfb {
 public:
  Xvfb() {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) Exec(report[1]);
    ::close(report[1]);
    if (pid_ > 0) display_ = ReadDisplay(report[0]);
    ::close(report[0]);
  }
  ~Xvfb() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N", or empty when no server could be started.
  const std::string& display() const { return display_; }

 private:
  [[noreturn]] static void Exec(int reportFd) {
    ::fcntl(reportFd, F_SETFD, 0);  // the server writes its display number here
    int quiet = ::open("/dev/null", O_RDWR);
    ::dup2(quiet, 0);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    const std::string fd = std::to_string(reportFd);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
    ::_exit(127);
  }

  static std::string ReadDisplay(int fd) {
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd wanted{fd, POLLIN, 0};
      if (::poll(&wanted, 1, 100) <= 0) continue;
      char c;
      if (::read(fd, &c, 1) != 1) break;  // the server ended without a display
      if (c == '\n') return number.empty() ? "" : ":" + number;
      number += c;
    }
    return "";
  }

  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace ui_test
