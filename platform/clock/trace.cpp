#include "platform/clock/trace.h"

#include <mutex>

#include "platform/clock/clock.h"

namespace platform::trace {
namespace {

constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ull;
constexpr std::uint64_t kPrime = 0x100000001b3ull;

struct State {
  std::mutex mutex;
  Digest digest{kOffsetBasis, 0};
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
  auto now = static_cast<std::uint64_t>(clock::Current().Now().count());
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  Fold(state.digest.hash, now);
  Fold(state.digest.hash, static_cast<std::uint64_t>(event));
  Fold(state.digest.hash, value);
  ++state.digest.events;
}

Digest Current() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  return state.digest;
}

void Reset() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  state.digest = {kOffsetBasis, 0};
}

}  // namespace platform::trace
