#include "tools/mdmsim/call_command.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "platform/base/root.h"
#include "tools/mdmsim/call.h"
#include "tools/mdmsim/sweep.h"
#include "tools/mdmsim/update.h"

namespace mdmsim {
namespace {

constexpr int kUsageError = 2;

struct CallOptions {
  int modems = 2;
  std::string file;
  bool bothWays = false;
  std::string flow = "rtscts";
  std::uint32_t rate = 33600;
  std::optional<unsigned> seed;
};

void PrintFlow(const char* side, const FlowCounters& counters) {
  std::printf(
      "flow control at %s          entered (tx/rx)   update_msr_fsm   write_fsm   read_fsm\n",
      side);
  for (ULONG state = 0; state < kFlowStates; ++state) {
    std::printf("  %u %-15s %10lu %6lu %16lu %11lu %10lu\n", static_cast<unsigned>(state),
                FlowStateName(state), static_cast<unsigned long>(counters.transmitEntered[state]),
                static_cast<unsigned long>(counters.receiveEntered[state]),
                static_cast<unsigned long>(counters.updateMsrRows[state]),
                static_cast<unsigned long>(counters.writeRows[state]),
                static_cast<unsigned long>(counters.readRows[state]));
  }
}

// XON and XOFF are flow control under software flow control: a payload holding them cannot
// cross such a call intact.
bool HoldsFlowCharacters(const std::vector<std::uint8_t>& payload) {
  for (std::uint8_t byte : payload) {
    if (byte == sim::modem::Firmware::kXon || byte == sim::modem::Firmware::kXoff) return true;
  }
  return false;
}

// The call of the options, or none (with the reason said and `status` set) when they do not
// make one.
std::optional<UsbCall> CallOfOptions(const CallOptions& options, int& status) {
  status = kUsageError;
  if (options.seed) {
    DrawnCall drawn = DrawCall(*options.seed);
    std::printf("[mdmsim] %s\n", drawn.Describe().c_str());
    return CallOf(drawn);
  }
  if (options.file.empty()) {
    std::fprintf(stderr, "mdmsim: call needs --send FILE or --seed N\n");
    return std::nullopt;
  }
  UsbCall call;
  std::ifstream in(options.file, std::ios::binary);
  call.payload.assign(std::istreambuf_iterator<char>(in), {});
  if (!in.good() && !in.eof()) {
    std::fprintf(stderr, "mdmsim: cannot read %s\n", options.file.c_str());
    status = 1;
    return std::nullopt;
  }
  for (const FlowKind& kind : FlowKinds()) {
    if (options.flow == kind.option) call.flow = kind.flow;
  }
  if (sim::modem::Software(call.flow) && HoldsFlowCharacters(call.payload)) {
    std::fprintf(stderr,
                 "mdmsim: %s holds XON or XOFF bytes, which --flow %s takes as flow control\n",
                 options.file.c_str(), options.flow.c_str());
    return std::nullopt;
  }
  call.bothWays = options.bothWays;
  call.rate = options.rate;
  return call;
}

int RunCall(const CallOptions& options) {
  int status = 0;
  std::optional<UsbCall> made = CallOfOptions(options, status);
  if (!made) return status;
  UsbCall& call = *made;
  call.onLog = [](std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  };
  platform::TemporaryRoot root("mdmsim-");
  if (root.path().empty()) {
    std::fprintf(stderr, "mdmsim: cannot make a platform root\n");
    return 1;
  }
  UsbCallResult result = RunUsbCall(call);
  PrintFlow("COM3", result.callerFlow);
  PrintFlow("COM4", result.calledFlow);
  std::printf("%s", result.poolReport.c_str());
  std::printf("call %s (%lld ms of virtual time)\n", result.AllGood() ? "intact" : "FAILED",
              static_cast<long long>(result.virtualMs));
  return result.AllGood() ? 0 : 1;
}

}  // namespace

void AddCallCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<CallOptions>();
  CLI::App* command = app.add_subcommand(
      "call",
      "Place a call between two simulated USB modems through the driver stack, in virtual time: "
      "COM3 dials COM4, COM4 answers, FILE crosses the call, COM3 escapes with +++ and hangs "
      "up (FILE, or the call a seed of the fault sweep draws). Prints both sides' log, the "
      "throughput per direction against the line rate, how "
      "often each flow-control state was entered and each table row used, and the pool report. "
      "Exits 0 only when every byte arrived once and in order, the call ended on both sides and "
      "no pool block is left.");
  command->add_option("--modems", options->modems, "simulated modems on the line (2)")
      ->check(CLI::Range(2, 2));
  CLI::Option* send =
      command->add_option("--send", options->file, "the file to send, a regular file")
          ->check(RegularFile);
  command->add_flag("--both-ways", options->bothWays,
                    "COM4 sends the file to COM3 at the same time");
  command
      ->add_option("--flow", options->flow,
                   "flow control between each modem and its host: rtscts (the default), xonxoff, "
                   "both or none")
      ->check(CLI::IsMember({"none", "rtscts", "xonxoff", "both"}));
  command->add_option("--rate", options->rate, "the line's rate in bit/s (33600)")
      ->check(CLI::Range(300, 1000000));
  command
      ->add_option("--seed", options->seed,
                   "place the call the fault sweep draws from this seed instead (its flow "
                   "control, payload, rate and line fault)")
      ->excludes(send);
  command->callback([options, &result] { result = RunCall(*options); });
}

}  // namespace mdmsim
