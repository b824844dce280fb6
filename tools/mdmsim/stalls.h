// Stalls of the kernel's processor on the real clock, as a busy host makes them: the processor
// is an ordinary thread here, which the host's scheduler holds for milliseconds at a time while
// frames go on. A fault switch of the programs that serve modems in real time (mdmsim serve
// --fault stall:..., mdmd's MDM_STALL), so that their tests can show nothing is lost to it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

namespace mdmsim {

struct StallPlan {
  int everyMs = 0;     // mean time between two stalls; 0: no stalls
  int longestMs = 50;  // each stall holds the thread for 2 ms up to this
};

// "every=MS,for=MS" (either may be left out: every=100, for=50). None, with the bad part named
// in `error`, when the text is not such a plan.
std::optional<StallPlan> ParseStallPlan(std::string_view text, std::string& error);

// The log line of a program that stalls its processor by the plan, drawn from `seed`.
std::string DescribeStalls(const StallPlan& plan, std::uint32_t seed);

// How long the thread is held, and when next: drawn from a seed, so a failing run can be told.
class StallDraws {
 public:
  StallDraws(StallPlan plan, std::uint32_t seed) : plan_(plan), random_(seed) {}
  int NextGapMs();    // 1 ms up to twice the mean
  int NextStallMs();  // 2 ms up to the longest

 private:
  StallPlan plan_;
  std::mt19937 random_;
};

// Holds the kernel's processor by the plan, from construction until destruction, the way the
// host's scheduler does: in the middle of its work (at its next call down a device stack), not
// between two work items, since what goes wrong on a busy host is a thread held between
// reading the bus's frame and submitting for the next, say.
class ProcessorStalls {
 public:
  explicit ProcessorStalls(StallPlan plan, std::uint32_t seed);
  ~ProcessorStalls();
  ProcessorStalls(const ProcessorStalls&) = delete;
  ProcessorStalls& operator=(const ProcessorStalls&) = delete;

 private:
  void Run();

  StallDraws draws_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mdmsim
