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

void Fold(std::uint64_t& hash, std::uint64_t word) {
  for (int i = 0; i < 8; ++i) {
    hash ^= (word >> (8 * i)) & 0xFF;
    hash *= kPrime;
  }
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
