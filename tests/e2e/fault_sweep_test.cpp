// The seeded fault sweep: short updates through the driver stack with faults drawn from each
// seed, every run checked for what must hold whatever its faults did. The seeds are split into
// shards that run side by side. A failing seed names itself; `mdmsim update --seed N` replays it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "platform/base/root.h"
#include "platform/wdm/pool.h"
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
  EXPECT_TRUE(failures.empty())
      << failures
      << "replay a seed with: build/mdmsim update --seed N or build/mdmsim call --seed N";
}

INSTANTIATE_TEST_SUITE_P(Seeds, FaultSweep, ::testing::Range(0u, kShards), [](const auto& info) {
  unsigned first = 1 + info.param * kSeedsPerShard;
  return "From" + std::to_string(first);
});

// The 200 seeds of the sweep draw every fault, one to three modems, several faults on one modem
// and faults on several modems of one run, moments from the first bytes to past the image and
// after a wait, and runs without faults.
TEST(FaultSweepDraw, TheSeedsOfTheSweepDrawEveryFault) {
  std::set<std::string> drawn;
  std::set<int> modemCounts;
  int clean = 0, severalOnOne = 0, onSeveral = 0, early = 0, pastImage = 0, waited = 0;
  for (unsigned seed = 1; seed <= 200; ++seed) {
    mdmsim::DrawnRun run = mdmsim::DrawRun(seed);
    modemCounts.insert(run.modems);
    clean += run.faults.empty();
    std::map<std::string, int> perPort;
    for (const std::string& fault : run.faults) {
      mdmsim::FaultChoice choice = mdmsim::ParseFaultChoice(fault);
      ASSERT_NE(choice.fault, nullptr) << fault;  // the text replays the strike
      drawn.insert(choice.fault->name);
      ++perPort[choice.port];
      EXPECT_LT(std::stoi(choice.port.substr(3)), 3 + run.modems) << fault;
      if (fault.find(":at=") == std::string::npos) continue;
      early += choice.strike.at < 256;
      pastImage += choice.strike.at > run.imageSize;
      waited += choice.strike.waitMs > 0;
    }
    severalOnOne += std::ranges::any_of(perPort, [](const auto& port) { return port.second > 1; });
    onSeveral += perPort.size() > 1;
    EXPECT_EQ(mdmsim::DrawRun(seed).Describe(), run.Describe());  // a seed names one run
  }
  auto coverage = mdmsim::FaultCoverage(1, 200);
  ASSERT_EQ(coverage.size(), mdmsim::ModemFaults().size());
  for (const auto& [name, seeds] : coverage) {
    EXPECT_TRUE(drawn.contains(name)) << name;
    EXPECT_GT(seeds, 0u) << name;
  }
  EXPECT_EQ(modemCounts, (std::set<int>{1, 2, 3}));
  EXPECT_GT(clean, 10);
  EXPECT_GT(severalOnOne, 20);
  EXPECT_GT(onSeveral, 10);
  EXPECT_GT(early, 5);
  EXPECT_GT(pastImage, 5);
  EXPECT_GT(waited, 20);
}

// The calls of the sweep's 200 seeds draw every flow control, every line rate, one way and both,
// calls without a fault, dropped calls, noise too short to lose the carrier and noise that loses
// it; noise never strikes a call under XON/XOFF, where a garbled byte could read as flow
// control.
TEST(FaultSweepDraw, TheSeedsOfTheSweepDrawEveryKindOfCall) {
  std::set<sim::modem::Flow> flows;
  std::set<std::uint32_t> rates;
  int bothWays = 0, clean = 0, drops = 0, shortNoise = 0, longNoise = 0;
  for (unsigned seed = 1; seed <= 200; ++seed) {
    if (!mdmsim::PlacesACall(seed)) continue;
    mdmsim::DrawnCall call = mdmsim::DrawCall(seed);
    flows.insert(call.flow);
    rates.insert(call.rate);
    bothWays += call.bothWays;
    clean += !call.fault;
    if (call.fault && call.fault->kind == mdmsim::LineFault::Kind::kDrop) ++drops;
    if (call.fault && call.fault->kind == mdmsim::LineFault::Kind::kNoise) {
      EXPECT_FALSE(sim::modem::Software(call.flow)) << call.Describe();
      (call.fault->length < std::chrono::milliseconds(1400) ? shortNoise : longNoise)++;
    }
    EXPECT_EQ(mdmsim::DrawCall(seed).Describe(), call.Describe());  // a seed names one call
  }
  EXPECT_EQ(flows.size(), 4u);
  EXPECT_EQ(rates.size(), 4u);
  EXPECT_GT(bothWays, 25);
  EXPECT_GT(clean, 20);
  EXPECT_GT(drops, 20);
  EXPECT_GT(shortNoise, 3);
  EXPECT_GT(longNoise, 3);
}

// A fault's text names its strike; what it leaves out keeps the fault's default, and a parameter
// that is unknown, malformed, out of its range or given to a firmware fault refuses the whole text.
TEST(FaultSweepDraw, AFaultsTextNamesItsStrike) {
  mdmsim::FaultChoice choice =
      mdmsim::ParseFaultChoice("data-in-errors@COM4:at=10,wait=5,n=3,for=40");
  ASSERT_NE(choice.fault, nullptr);
  EXPECT_EQ(choice.fault->name, "data-in-errors");
  EXPECT_EQ(choice.port, "COM4");
  EXPECT_EQ(choice.strike.at, 10u);
  EXPECT_EQ(choice.strike.waitMs, 5);
  EXPECT_EQ(choice.strike.count, 3);
  EXPECT_EQ(choice.strike.forMs, 40);
  choice = mdmsim::ParseFaultChoice("sequence-gaps");
  ASSERT_NE(choice.fault, nullptr);
  EXPECT_TRUE(choice.port.empty());
  EXPECT_EQ(choice.strike.at, 1500u);
  EXPECT_EQ(choice.strike.count, 20);
  choice = mdmsim::ParseFaultChoice("alloc-stop@COM3:n=2,kind=request");
  ASSERT_NE(choice.fault, nullptr);
  EXPECT_EQ(choice.strike.kinds, platform::wdm::pool::kRequest);
  // A refused text says which part is wrong; a negative number never passes for "off", nor an
  // empty port for every modem.
  const std::pair<const char*, const char*> refused[] = {
      {"no-ack@COM3:at=1", "no-ack: a firmware fault takes no parameters"},
      {"data-in-errors:n=x", "\"n=x\" must be a count"},
      {"data-in-errors:bogus=1", "\"bogus=1\" is no parameter"},
      {"data-in-noise:p=101", "\"p=101\" must be a percentage"},
      {"data-in-noise:p=-1", "\"p=-1\" must be a percentage"},
      {"data-in-errors:n=-5", "\"n=-5\" must be a count"},
      {"stuck-indication:for=-1", "\"for=-1\" must be a number of ms"},
      {"unplug:wait=-1000", "\"wait=-1000\" must be a number of ms"},
      {"alloc-start:kind=disk", "\"kind=disk\" must be pool"},
      {"data-in-errors:n", "\"n\" is not KEY=VALUE"},
      {"unplug@", "unplug: no port after \"@\""},
      {"gremlins@COM3", "unknown fault \"gremlins\""},
  };
  for (const auto& [bad, why] : refused) {
    choice = mdmsim::ParseFaultChoice(bad);
    EXPECT_EQ(choice.fault, nullptr) << bad;
    EXPECT_NE(choice.error.find(why), std::string::npos) << bad << ": " << choice.error;
  }
  // Every fault's drawn text reads back to the same text.
  for (const mdmsim::ModemFault& fault : mdmsim::ModemFaults()) {
    std::mt19937 first(5), second(5);
    std::string text = mdmsim::DrawFault(fault, "COM5", first, 3000);
    EXPECT_EQ(mdmsim::DrawFault(fault, "COM5", second, 3000), text);
    EXPECT_NE(mdmsim::ParseFaultChoice(text).fault, nullptr) << text;
  }
}

// A seed's image is the same file whenever it is made, down to its modification time, which the
// sender sends with it: a run must not depend on the moment its image was written.
TEST(FaultSweepDraw, ASeedsImageIsTheSameWheneverItIsMade) {
  testing_support::TempRoot root;
  mdmsim::DrawnRun run = mdmsim::DrawRun(47);
  std::filesystem::path first = root.path() / "first.bin", second = root.path() / "second.bin";
  mdmsim::WriteDrawnImage(run, first.string());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past the file system's tick
  mdmsim::WriteDrawnImage(run, second.string());
  EXPECT_EQ(std::filesystem::file_size(first), run.imageSize);
  EXPECT_EQ(std::filesystem::last_write_time(first), std::filesystem::last_write_time(second));
  auto bytes = [](const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(bytes(first), bytes(second));
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

// A registry file that no longer reads back after the run is reported.
TEST(FaultSweepChecks, ARegistryFileThatDoesNotReadBackIsReported) {
  testing_support::TempRoot root;
  mdmsim::DrawnRun run;
  run.seed = 78;
  run.imageSize = 1500;
  mdmsim::UsbUpdate update = mdmsim::UpdateWithFaults(1, {});
  update.session.imagePath = (root.path() / "image.bin").string();
  mdmsim::WriteDrawnImage(run, update.session.imagePath);
  update.session.onLog = [](std::string_view text) {
    if (text.find("Update finished!") != std::string_view::npos) {
      std::ofstream(platform::Root() / "registry.reg", std::ios::trunc) << "REGEDIT4\n\n[HKEY_";
    }
  };
  std::vector<std::string> problems = mdmsim::RunChecked(update, {});
  EXPECT_TRUE(std::ranges::any_of(problems, [](const std::string& problem) {
    return problem.starts_with("the registry file does not read back: ");
  }));
}

}  // namespace
