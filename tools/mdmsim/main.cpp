// mdmsim: the scenario host. It builds a simulated world (modems, COM ports, later the driver
// and the USB bus) and runs the system's programs in it, in virtual time.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <thread>

#include "platform/base/root.h"
#include "platform/clock/one_cpu.h"
#include "tools/mdmsim/chat.h"
#include "tools/mdmsim/demo.h"
#include "tools/mdmsim/plug.h"
#include "tools/mdmsim/sweep_command.h"
#include "tools/mdmsim/update.h"

namespace {

int stopPipe[2] = {-1, -1};

void OnStopSignal(int signal) {
  const unsigned char number = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t written = ::write(stopPipe[1], &number, 1);
}

// Ctrl-C or a termination request ends the run at once, but not before the scratch platform
// roots are gone. A handler (not a blocked signal) hands the signal to a thread, so that programs
// started from here get the default handling back.
void RemoveRootsOnStopSignals() {
  if (::pipe(stopPipe) != 0) return;
  std::thread([] {
    unsigned char number = 0;
    if (::read(stopPipe[0], &number, 1) != 1) return;
    platform::RemoveTemporaryRoots();
    std::fprintf(stderr, "\nmdmsim: stopped by %s\n", number == SIGINT ? "SIGINT" : "SIGTERM");
    ::_exit(128 + number);
  }).detach();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  RemoveRootsOnStopSignals();
  // Every scenario runs on the virtual clock, one thread at a time.
  platform::clock::StayOnOneCpu();
  CLI::App app{"mdmsim: runs the USB modem host software in a simulated world"};
  app.require_subcommand(1);
  int result = 0;
  mdmsim::AddChatCommand(app, result);
  mdmsim::AddDemoCommand(app, result);
  mdmsim::AddPlugCommand(app, result);
  mdmsim::AddSweepCommand(app, result);
  mdmsim::AddUpdateCommand(app, result);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : 2;  // bad arguments: usage and exit code 2
  }
  return result;
}
