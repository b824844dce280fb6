#include "platform/clock/trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/base/spin_lock.h"

#include "platform/clock/clock.h"

namespace platform::trace {
namespace {

constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ull;
constexpr std::uint64_t kPrime = 0x100000001b3ull;

struct State {
  std::atomic<bool> on{false};
  SpinLock mutex;
  Digest digest{kOffsetBasis, 0};
  std::FILE* log = nullptr;  // every event as a line, when MDM_TRACE_LOG names a file
};

State& TheState() {
  static State state;
  return state;
}

// FNV-1a over whole 64-bit words: one multiply per word keeps the digest cheap enough to run on
// every bus frame.
void Fold(std::uint64_t& hash, std::uint64_t word) {
  hash = (hash ^ word) * kPrime;
}

}  // namespace

void Record(Event event, std::uint64_t value) {
  State& state = TheState();
  if (!state.on.load(std::memory_order_relaxed)) return;
  auto now = static_cast<std::uint64_t>(clock::Current().Now().count());
  std::lock_guard lock(state.mutex);
  Fold(state.digest.hash, now);
  Fold(state.digest.hash, static_cast<std::uint64_t>(event));
  Fold(state.digest.hash, value);
  ++state.digest.events;
  if (state.log != nullptr) {
    std::fprintf(state.log, "%llu %d %llx\n", static_cast<unsigned long long>(now),
                 static_cast<int>(event), static_cast<unsigned long long>(value));
  }
}

Digest Current() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  return state.digest;
}

void Start() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  state.digest = {kOffsetBasis, 0};
  if (const char* path = std::getenv("MDM_TRACE_LOG"); path != nullptr && state.log == nullptr) {
    state.log = std::fopen(path, "w");
  }
  state.on.store(true, std::memory_order_relaxed);
}

}  // namespace platform::trace
