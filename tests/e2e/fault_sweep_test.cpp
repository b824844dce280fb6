// The seeded fault sweep: short updates through the driver stack with faults drawn from each
// seed, every run checked for what must hold whatever its faults did. The seeds are split into
// shards that run side by side. A failing seed names itself; `mdmsim update --seed N` replays it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/support/temp_root.h"
#include "tools/mdmsim/faults.h"
#include "tools/mdmsim/sweep.h"

namespace {

#ifndef MDM_SWEEP_SHARDS
#define MDM_SWEEP_SHARDS 8
#endif
constexpr unsigned kShards = MDM_SWEEP_SHARDS;
constexpr unsigned kSeedsPerShard = 25;

class FaultSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(FaultSweep, EveryCheckHoldsForEverySeed) {
  testing_support::TempRoot root;
  unsigned first = 1 + GetParam() * kSeedsPerShard;
  std::string failures;
  for (const std::string& failure : mdmsim::Sweep(first, kSeedsPerShard)) {
    failures += failure + "\n";
  }
  EXPECT_TRUE(failures.empty()) << failures << "replay a seed with: build/mdmsim update --seed N";
}

INSTANTIATE_TEST_SUITE_P(Seeds, FaultSweep, ::testing::Range(0u, kShards), [](const auto& info) {
  unsigned first = 1 + info.param * kSeedsPerShard;
  return "From" + std::to_string(first);
});

// The 200 seeds of the sweep draw every fault, both modem counts, and runs without faults.
TEST(FaultSweepDraw, TheSeedsOfTheSweepDrawEveryFault) {
  std::set<std::string> drawn;
  std::set<int> modemCounts;
  int clean = 0;
  for (unsigned seed = 1; seed <= 200; ++seed) {
    mdmsim::DrawnRun run = mdmsim::DrawRun(seed);
    modemCounts.insert(run.modems);
    clean += run.faults.empty();
    for (const std::string& fault : run.faults) drawn.insert(fault.substr(0, fault.find('@')));
    EXPECT_EQ(mdmsim::DrawRun(seed).Describe(), run.Describe());  // a seed names one run
  }
  auto coverage = mdmsim::FaultCoverage(1, 200);
  ASSERT_EQ(coverage.size(), mdmsim::ModemFaults().size());
  for (const auto& [name, seeds] : coverage) {
    EXPECT_TRUE(drawn.contains(name)) << name;
    EXPECT_GT(seeds, 0u) << name;
  }
  EXPECT_EQ(modemCounts, (std::set<int>{1, 2}));
  EXPECT_GT(clean, 10);
}

// A fault that breaks a rule the checks guard is found: a modem whose log claims success while
// its flash differs cannot pass, and neither can one whose ridden-out faults left it without
// the image.
TEST(FaultSweepChecks, AFailedModemWithOnlyRiddenOutFaultsIsReported) {
  testing_support::TempRoot root;
  mdmsim::DrawnRun run;
  run.seed = 77;
  run.imageSize = 2000;
  mdmsim::UsbUpdate update = mdmsim::UpdateWithFaults(1, {"no-ack@COM3"});
  update.session.imagePath = (root.path() / "image.bin").string();
  mdmsim::WriteDrawnImage(run, update.session.imagePath);
  // Checked as if the modem had only a fault the driver rides out.
  std::vector<std::string> problems = mdmsim::RunChecked(update, {"sequence-gaps@COM3"});
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "COM3: its faults are ridden out, yet it does not hold the image");
}

}  // namespace
