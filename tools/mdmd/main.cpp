// mdmd: the modem service over a real USB bus. Serves the COM port of every USB modem plugged
// into this machine until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/base/abrupt_end.h"
#include "platform/base/debug_sink.h"
#include "platform/base/root.h"
#include "platform/base/version.h"
#include "platform/clock/clock.h"
#include "platform/wdm/debug.h"
#include "platform/win32/debug.h"
#include "tools/mdmd/service.h"
#include "tools/mdmsim/modem_facts.h"

namespace {

int stopPipe[2] = {-1, -1};

// SIGPIPE is caught rather than ignored, so that the programs the driver starts get its default
// handling back; a write to a closed pipe or socket then only fails.
void OnBrokenPipe(int) {}

void OnStopSignal(int signal) {
  const unsigned char number = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t written = ::write(stopPipe[1], &number, 1);
}

// The stop signals are written to a pipe that the main thread waits on, so that the service is
// stopped on an ordinary thread and programs the driver starts get the default handling.
bool CatchStopSignals() {
  if (::pipe(stopPipe) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESTART;  // the service's threads carry on with the calls it interrupts
  sigemptyset(&action.sa_mask);
  // A hang-up of the controlling terminal stops the service as a termination request does.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (::sigaction(signal, &action, nullptr) != 0) return false;
  }
  action.sa_handler = OnBrokenPipe;
  return ::sigaction(SIGPIPE, &action, nullptr) == 0;
}

int AwaitStopSignal() {
  unsigned char number = 0;
  while (::read(stopPipe[0], &number, 1) != 1) {
  }
  return number;
}

void LogLine(const std::string& line) {
  std::fprintf(stderr, "mdmd: %s\n", line.c_str());
}

void PrintVersion() {
  platform::PrintVersion("mdmd",
                         {mdmsim::kModemFacts, "Drives the modem through mdmcore over libusb."});
}

int Run(const mdmd::ServiceOptions& options) {
  // A root it cannot link the ports in would leave every modem unserved: refused at once.
  if (std::string error; !platform::PrepareServedRoot(error)) {
    LogLine(error);
    return 1;
  }
  if (!CatchStopSignals()) {
    LogLine("cannot catch SIGINT, SIGTERM, SIGHUP and SIGPIPE");
    return 1;
  }
  platform::clock::ThreadScope main("main");
  std::string error;
  auto service = mdmd::Service::Start(options, LogLine, error);
  if (service == nullptr) {
    LogLine(error);
    return 1;
  }
  LogLine("serving USB modems (VID F3A9, PID 5201); SIGINT or SIGTERM stops");
  int signal = AwaitStopSignal();
  service.reset();
  LogLine(std::string("stopped by ") + (signal == SIGINT   ? "SIGINT"
                                        : signal == SIGHUP ? "SIGHUP"
                                                           : "SIGTERM"));
  return 128 + signal;
}

}  // namespace

int main(int argc, char** argv) {
  // No thread, memory or descriptor where one is needed: one line, the links removed, exit 1.
  platform::EndAbruptlyButCleanly("mdmd", 1);
  CLI::App app{
      "mdmd: serves the USB modems (VID F3A9, PID 5201) of this machine through mdmcore over "
      "libusb, or only those named with --serial. Each modem that arrives is started and bound "
      "to a COM number in the platform root ($MDM_ROOT) as the driver does; its COM port is "
      "served as a pseudo-terminal linked as $MDM_ROOT/dosdevices/comN and, with "
      "--rfc2217-base, as an RFC 2217 server on 127.0.0.1. A modem that leaves is removed and its "
      "port no longer served; plugged in "
      "again, it gets its COM number back. Logs to standard error.\n\n"
      "Exit status: 130 after SIGINT, 143 after SIGTERM, 129 after SIGHUP (every modem stopped "
      "and removed, the links removed); 1 when the service cannot start or go on (the reason in "
      "one line, such as a platform root it cannot write, or no thread, memory or descriptor "
      "left); 2 for bad arguments or a bad MDM_STALL.\n\n"
      "Environment: MDM_ROOT is the platform root (default $XDG_DATA_HOME/mdm, or "
      "~/.local/share/mdm), a folder mdmd may write: the registry with the COM bindings, and "
      "the dosdevices links of the served ports. MDM_DEBUG=1 copies the driver's debugger "
      "output to standard error, each line time-stamped.\n\n"
      "MDM_STALL=every=MS,for=MS holds the kernel's processor thread at drawn moments (MS apart "
      "on average) for a drawn 2 ms up to for=MS, as a busy host does: a fault for tests."};
  mdmd::ServiceOptions options;
  app.add_flag_callback(
      "--version",
      [] {
        PrintVersion();
        throw CLI::Success();
      },
      "print the version and the modem it serves, and exit");
  app.add_option("--rfc2217-base", options.rfc2217Base,
                 "serve COMn over RFC 2217 on 127.0.0.1, TCP port BASE + n")
      ->check(CLI::Range(1, 65526));
  app.add_option("--serial", options.serials,
                 "serve only the modem with this serial number (any case); give it once for "
                 "each modem to serve, the others are left alone");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : 2;
  }
  if (const char* stall = std::getenv("MDM_STALL"); stall != nullptr && *stall != '\0') {
    std::string error;
    options.stalls = mdmsim::ParseStallPlan(stall, error);
    if (!options.stalls) {
      LogLine("MDM_STALL: " + error);
      return 2;
    }
  }
  platform::ShowDebugOutput(
      false, {&platform::win32::ProgramDebugSink(), &platform::wdm::KernelDebugSink()});
  return Run(options);
}
