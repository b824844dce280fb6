// mdmsim: the scenario host. It builds a simulated world (modems, COM ports, later the driver
// and the USB bus) and runs the system's programs in it, in virtual time.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "platform/base/abrupt_end.h"
#include "platform/base/debug_sink.h"
#include "platform/base/version.h"
#include "platform/clock/one_cpu.h"
#include "platform/wdm/debug.h"
#include "platform/win32/debug.h"
#include "tools/mdmsim/call_command.h"
#include "tools/mdmsim/chat.h"
#include "tools/mdmsim/demo.h"
#include "tools/mdmsim/modem_facts.h"
#include "tools/mdmsim/plug.h"
#include "tools/mdmsim/serve.h"
#include "tools/mdmsim/stop.h"
#include "tools/mdmsim/sweep_command.h"
#include "tools/mdmsim/update.h"

namespace {

void PrintVersion() {
  platform::PrintVersion("mdmsim", {mdmsim::kModemFacts,
                                    "Simulates that modem with its firmware: the AT command set, "
                                    "\"ati9\" identification, download mode and ZModem image "
                                    "download, calls on a simulated telephone line."});
}

// A first word that is no option and no subcommand is named as such; the parser would only say
// that a subcommand is required. False after printing the line.
bool KnowsFirstWord(const CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return true;
  std::string names;
  for (const CLI::App* command : app.get_subcommands({})) {
    if (command->get_name() == argv[1]) return true;
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  std::fprintf(stderr, "mdmsim: unknown subcommand \"%s\"; the subcommands are %s\n", argv[1],
               names.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // No thread, memory or descriptor where one is needed: one line, the links and scratch roots
  // removed, exit 1.
  platform::EndAbruptlyButCleanly("mdmsim", 1);
  mdmsim::StopOnSignals();
  // Every scenario runs on the virtual clock, one thread at a time.
  platform::clock::StayOnOneCpu();
  CLI::App app{
      "mdmsim: runs the USB modem host software (mdmcore, mdmflash, mdmlinks) in a simulated "
      "world: simulated USB modems, their bus and telephone line, in virtual time; `mdmsim "
      "serve` serves simulated modems to the programs of this machine in real time. `mdmsim "
      "SUBCOMMAND --help` tells each subcommand's options."};
  app.footer(
      "Environment: MDM_ROOT is the platform root the programs share (registry.reg, "
      "dosdevices/comN links; default $XDG_DATA_HOME/mdm, or ~/.local/share/mdm); most "
      "subcommands run in a scratch root of their own. MDM_DEBUG=1 copies the debugger output of "
      "the programs and the driver to standard error, each line time-stamped.\n\n"
      "Exit status: 0 the scenario went as it should, 1 it did not (or mdmsim could not go on: "
      "one line says why), 2 a bad command line, 129, 130, 143 stopped by SIGHUP, SIGINT, "
      "SIGTERM.");
  app.require_subcommand(1);
  app.add_flag_callback(
      "--version",
      [] {
        PrintVersion();
        throw CLI::Success();
      },
      "print the version and the modem it simulates, and exit");
  int result = 0;
  mdmsim::AddCallCommand(app, result);
  mdmsim::AddChatCommand(app, result);
  mdmsim::AddDemoCommand(app, result);
  mdmsim::AddPlugCommand(app, result);
  mdmsim::AddServeCommand(app, result);
  mdmsim::AddSweepCommand(app, result);
  mdmsim::AddUpdateCommand(app, result);
  if (!KnowsFirstWord(app, argc, argv)) return 2;
  platform::ShowDebugOutput(
      false, {&platform::win32::ProgramDebugSink(), &platform::wdm::KernelDebugSink()});
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : 2;  // bad arguments: usage and exit code 2
  }
  return mdmsim::ResultUnlessStopped(result);
}
