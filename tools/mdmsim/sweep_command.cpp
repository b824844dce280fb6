#include "tools/mdmsim/sweep_command.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "platform/base/root.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/sweep.h"

namespace mdmsim {
namespace {

struct SweepOptions {
  unsigned first = 1;
  unsigned seeds = 200;
};

int RunSweep(const SweepOptions& options) {
  platform::TemporaryRoot root("mdmsim-sweep-");
  if (root.path().empty()) {
    std::fprintf(stderr, "mdmsim: cannot make a platform root\n");
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> failures = Sweep(options.first, options.seeds);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const std::string& failure : failures) std::printf("[mdmsim] FAILED %s\n", failure.c_str());
  for (const auto& [name, seeds] : FaultCoverage(options.first, options.seeds)) {
    std::printf("[mdmsim] fault %-18s drawn by %u of %u seeds\n", name.c_str(), seeds,
                options.seeds);
  }
  std::printf("[mdmsim] sweep of seeds %u..%u: %s (%.1f s)\n", options.first,
              options.first + options.seeds - 1,
              failures.empty() ? "every check holds"
                               : "checks FAILED; replay a seed with "
                                 "build/mdmsim update --seed N or build/mdmsim call --seed N",
              seconds);
  return failures.empty() ? 0 : 1;
}

}  // namespace

void AddSweepCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<SweepOptions>();
  CLI::App* sweep = app.add_subcommand(
      "sweep",
      "Run short updates and calls through the driver stack with faults drawn from each seed "
      "and check each: an image held byte for byte or a failure the log admits, every byte "
      "handed to the driver delivered once and in order, a call's bytes once and in order up to "
      "the end of the call, every request completed once, no pool block or "
      "thread left. Exits 0 when every check holds.");
  sweep->add_option("--first", options->first, "the first seed")->check(CLI::Range(0u, 1u << 30));
  sweep->add_option("--seeds", options->seeds, "how many seeds")->check(CLI::Range(1u, 1u << 20));
  sweep->callback([options, &result] { result = RunSweep(*options); });
}

}  // namespace mdmsim
