#include "tools/mdmsim/stalls.h"

#include <charconv>
#include <chrono>

#include "platform/wdm/preemption.h"

namespace mdmsim {
namespace {

// One "NAME=MS" of a plan; false with `error` naming the bad part.
bool ParseMs(std::string_view part, int& value, std::string& error) {
  auto [end, failed] = std::from_chars(part.data(), part.data() + part.size(), value);
  if (failed != std::errc() || end != part.data() + part.size() || value < 1 || value > 60000) {
    error = "'" + std::string(part) + "' is not a number of milliseconds from 1 to 60000";
    return false;
  }
  return true;
}

}  // namespace

std::optional<StallPlan> ParseStallPlan(std::string_view text, std::string& error) {
  StallPlan plan{100, 50};
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    std::size_t equals = part.find('=');
    std::string_view name = part.substr(0, equals);
    int* value = name == "every" ? &plan.everyMs : name == "for" ? &plan.longestMs : nullptr;
    if (value == nullptr || equals == std::string_view::npos) {
      error = "unknown stall parameter '" + std::string(part) + "' (every=MS,for=MS)";
      return std::nullopt;
    }
    if (!ParseMs(part.substr(equals + 1), *value, error)) return std::nullopt;
  }
  if (plan.longestMs < 2) {
    error = "for=" + std::to_string(plan.longestMs) + ": a stall lasts at least 2 ms";
    return std::nullopt;
  }
  return plan;
}

std::string DescribeStalls(const StallPlan& plan, std::uint32_t seed) {
  return "stalling the kernel's processor every " + std::to_string(plan.everyMs) +
         " ms on average, for 2 to " + std::to_string(plan.longestMs) + " ms (seed " +
         std::to_string(seed) + ")";
}

int StallDraws::NextGapMs() {
  return std::uniform_int_distribution<int>(1, 2 * plan_.everyMs)(random_);
}

int StallDraws::NextStallMs() {
  return std::uniform_int_distribution<int>(2, plan_.longestMs)(random_);
}

ProcessorStalls::ProcessorStalls(StallPlan plan, std::uint32_t seed) : draws_(plan, seed) {
  if (plan.everyMs > 0) thread_ = std::thread([this] { Run(); });
}

ProcessorStalls::~ProcessorStalls() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  if (thread_.joinable()) thread_.join();
  platform::wdm::preemption::Hold(0);
}

void ProcessorStalls::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stop_.wait_for(lock, std::chrono::milliseconds(draws_.NextGapMs()),
                       [this] { return stopping_; })) {
      return;
    }
    int holdMs = draws_.NextStallMs();
    platform::wdm::preemption::Hold(holdMs);
    // The next gap counts from the end of this hold.
    if (stop_.wait_for(lock, std::chrono::milliseconds(holdMs), [this] { return stopping_; })) {
      return;
    }
  }
}

}  // namespace mdmsim
