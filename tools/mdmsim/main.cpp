// mdmsim: the scenario host. It builds a simulated world (modems, COM ports, later the driver
// and the USB bus) and runs the system's programs in it, in virtual time.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "platform/base/abrupt_end.h"
#include "platform/clock/one_cpu.h"
#include "tools/mdmsim/call_command.h"
#include "tools/mdmsim/chat.h"
#include "tools/mdmsim/demo.h"
#include "tools/mdmsim/plug.h"
#include "tools/mdmsim/serve.h"
#include "tools/mdmsim/stop.h"
#include "tools/mdmsim/sweep_command.h"
#include "tools/mdmsim/update.h"

int main(int argc, char** argv) {
  // No thread, memory or descriptor where one is needed: one line, the links and scratch roots
  // removed, exit 1.
  platform::EndAbruptlyButCleanly("mdmsim", 1);
  mdmsim::StopOnSignals();
  // Every scenario runs on the virtual clock, one thread at a time.
  platform::clock::StayOnOneCpu();
  CLI::App app{"mdmsim: runs the USB modem host software in a simulated world"};
  app.require_subcommand(1);
  int result = 0;
  mdmsim::AddCallCommand(app, result);
  mdmsim::AddChatCommand(app, result);
  mdmsim::AddDemoCommand(app, result);
  mdmsim::AddPlugCommand(app, result);
  mdmsim::AddServeCommand(app, result);
  mdmsim::AddSweepCommand(app, result);
  mdmsim::AddUpdateCommand(app, result);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : 2;  // bad arguments: usage and exit code 2
  }
  return mdmsim::ResultUnlessStopped(result);
}
