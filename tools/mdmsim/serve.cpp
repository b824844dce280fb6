#include "tools/mdmsim/serve.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/root.h"
#include "sim/modem/phone_line.h"
#include "sim/modem/zmodem_receiver.h"
#include "sim/world/world.h"
#include "tools/mdmsim/faults.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_map.h"
#include "tools/mdmsim/served_port.h"
#include "tools/mdmsim/stalls.h"
#include "tools/mdmsim/stop.h"

namespace mdmsim {
namespace {

// One line of what the served system says, as mdmsim prints its own, at once.
void Note(const std::string& line) {
  std::printf("[mdmsim] %s\n", line.c_str());
  std::fflush(stdout);
}

struct ServeOptions {
  int modems = 1;
  int rfc2217Port = 0;              // the first modem's TCP port; 0: no RFC 2217 server
  std::uint32_t lineRate = 33600;   // bit/s of the telephone line
  std::vector<std::string> faults;  // "stall:every=MS,for=MS"
  std::optional<StallPlan> stalls;
};

// What is wrong with a fault that is not serve's: a fault of the simulated runs is named as one
// (after what is wrong with its parameters, if anything), anything else as unknown.
std::string WhyNoServeFault(const std::string& fault) {
  constexpr char kServeKnows[] = "serve knows only stall:every=MS,for=MS";
  FaultChoice choice = ParseFaultChoice(fault);
  std::string name = fault.substr(0, fault.find_first_of("@:"));
  if (!choice.nameKnown) return "unknown fault \"" + name + "\" (" + kServeKnows + ")";
  std::string elsewhere = "\"" + name + "\" is a fault of mdmsim update; " + kServeKnows;
  return choice.fault == nullptr ? choice.error + " (and " + elsewhere + ")" : elsewhere;
}

// The faults of serving in real time: stalls of the kernel's processor. False with the bad
// fault named on standard error.
bool ParseServeFaults(ServeOptions& options) {
  for (const std::string& fault : options.faults) {
    std::string_view text = fault;
    std::string error;
    if (text == "stall" || text.starts_with("stall:")) {
      options.stalls = ParseStallPlan(text.substr(std::min<std::size_t>(text.size(), 6)), error);
      if (options.stalls) continue;
    } else {
      error = WhyNoServeFault(fault);
    }
    std::fprintf(stderr, "mdmsim: --fault %s: %s\n", fault.c_str(), error.c_str());
    return false;
  }
  return true;
}

// Ends the serving on a stop signal: the signal's thread waits until everything is closed.
class StopRequest {
 public:
  void Request() {
    std::unique_lock lock(mutex_);
    requested_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return done_; });
  }
  // True when a stop was requested within `wait`.
  bool AwaitRequestFor(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [this] { return requested_; });
  }
  void Done() {
    std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }
  bool requested() {
    std::lock_guard lock(mutex_);
    return requested_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
  bool done_ = false;
};

// A modem's telephone number: its COM port's number.
std::string LineNumber(const std::string& comName) {
  return comName.substr(3);
}

// One line per firmware update a modem took since the last look: how many image bytes its flash
// holds and whether its flash check found them good. Run on the world's thread.
class UpdateReports {
 public:
  void Look(DriverRig& rig) {
    for (auto& modem : rig.modems()) {
      const sim::modem::ZmodemReceiver& receiver = modem->device->firmware().zmodem();
      int& seen = seen_[modem->comName];
      if (receiver.transfersEnded() == seen) continue;
      seen = receiver.transfersEnded();
      const sim::modem::TransferEnd& end = receiver.lastEnd();
      std::string result = !end.checked ? "failed, the transfer was left before its end"
                           : end.good   ? "done, flash check OK"
                                        : "failed, flash check ERROR";
      lines_.push_back(modem->comName + ": firmware update " + result + " (" +
                       std::to_string(end.imageBytes) + " image bytes in the flash)");
    }
  }
  // The lines gathered, to be printed off the world's thread.
  std::vector<std::string> Take() { return std::exchange(lines_, {}); }

 private:
  std::map<std::string, int> seen_;
  std::vector<std::string> lines_;
};

std::vector<std::unique_ptr<ServedPort>> ServeAll(DriverRig& rig, const ServeOptions& options,
                                                  bool& failed) {
  std::vector<std::unique_ptr<ServedPort>> served;
  for (auto& modem : rig.modems()) {
    int index = static_cast<int>(served.size());
    auto tcpPort =
        static_cast<std::uint16_t>(options.rfc2217Port == 0 ? 0 : options.rfc2217Port + index);
    std::string error;
    auto port = ServedPort::Start(modem->comName, tcpPort, Note, error);
    if (port == nullptr) {
      std::fprintf(stderr, "mdmsim: %s\n", error.c_str());
      failed = true;
      break;
    }
    std::printf("[mdmsim] %s: USB modem %s, number %s, on %s (%s)", modem->comName.c_str(),
                Narrow(SerialFor(index)).c_str(), LineNumber(modem->comName).c_str(),
                port->terminal().c_str(), port->link().c_str());
    if (tcpPort != 0) std::printf(", RFC 2217 on 127.0.0.1:%u", tcpPort);
    std::printf("\n");
    served.push_back(std::move(port));
  }
  return served;
}

int RunServe(const ServeOptions& options) {
  // A root it cannot link the ports in is refused before any modem starts.
  if (std::string error; !platform::PrepareServedRoot(error)) {
    std::fprintf(stderr, "mdmsim: %s\n", error.c_str());
    return 1;
  }
  auto stop = std::make_shared<StopRequest>();
  SetStopHandler([stop] { stop->Request(); });
  sim::world::World world;
  DriverRig rig(world);
  bool failed = !NT_SUCCESS(rig.loadStatus());
  // The modems share one telephone line; each answers to its COM port's number ("ATD4" from
  // COM3 calls COM4).
  auto line = std::make_shared<sim::modem::PhoneLine>(sim::modem::LineConfig{options.lineRate});
  std::optional<ProcessorStalls> stalls;
  if (options.stalls) {
    std::uint32_t seed = std::random_device()();
    stalls.emplace(*options.stalls, seed);
    Note(DescribeStalls(*options.stalls, seed));
  }
  for (int i = 0; i < options.modems && !failed; ++i) {
    sim::usbdevice::ModemIdentity identity{SerialFor(i), u"USB Modem", true};
    RiggedModem* modem = rig.AddModem(ComNameFor(i), identity);
    if (modem == nullptr) {
      std::fprintf(stderr, "mdmsim: the driver did not start modem %d\n", i);
      failed = true;
      break;
    }
    world.Call([&] { modem->device->PlugIntoLine(line, LineNumber(modem->comName)); });
  }
  std::vector<std::unique_ptr<ServedPort>> served;
  if (!failed) served = ServeAll(rig, options, failed);
  std::optional<ListedPorts> listed;
  if (!failed) {
    std::vector<std::string> names;
    for (auto& modem : rig.modems()) names.push_back(modem->comName);
    listed.emplace(names);
    std::printf("[mdmsim] serving in real time; SIGINT or SIGTERM stops\n");
    std::fflush(stdout);
    UpdateReports updates;
    while (!stop->AwaitRequestFor(std::chrono::milliseconds(250))) {
      world.Call([&] { updates.Look(rig); });
      for (const std::string& line : updates.Take()) Note(line);
    }
  }
  listed.reset();
  served.clear();
  stalls.reset();
  NTSTATUS shutdown = rig.Shutdown();
  std::fflush(stdout);
  stop->Done();
  // Stopped by a signal: the stopping thread ends the program with the signal's status, so this
  // one must not end it first with another.
  while (stop->requested()) ::pause();
  return failed || !NT_SUCCESS(shutdown) ? 1 : 0;
}

}  // namespace

void AddServeCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<ServeOptions>();
  CLI::App* serve = app.add_subcommand(
      "serve",
      "Serve simulated USB modems (through mdmcore, in real time) to the programs of this "
      "machine: each COM port as a pseudo-terminal linked as $MDM_ROOT/dosdevices/comN (hung "
      "up when the carrier drops, unless its program set CLOCAL; a fresh one then takes the "
      "link), and with --rfc2217-port as an RFC 2217 server on 127.0.0.1. Runs until SIGINT or "
      "SIGTERM (exit 130 or 143) or a hang-up of the terminal (SIGHUP, exit 129), which removes "
      "the links.");
  serve->add_option("--modems", options->modems, "USB modems on COM3, COM4, ...")
      ->check(CLI::Range(1, 4));
  serve
      ->add_option("--rfc2217-port", options->rfc2217Port,
                   "TCP port of the first modem's RFC 2217 server; the next modems take the "
                   "ports after it")
      ->check(CLI::Range(1, 65531));
  serve
      ->add_option("--line-rate", options->lineRate,
                   "bit/s of calls on the telephone line (default 33600)")
      ->check(CLI::Range(300, 10000000));
  serve->add_option("--fault", options->faults,
                    "stall:every=MS,for=MS holds the kernel's processor thread at drawn moments "
                    "(MS apart on average, default 100) for a drawn 2 ms up to for=MS (default "
                    "50), as a busy host does");
  serve->callback(
      [options, &result] { result = ParseServeFaults(*options) ? RunServe(*options) : 2; });
}

}  // namespace mdmsim
