// The sweep's calls: what a seed draws for its call between two modems.
#include <random>

#include "tools/mdmsim/sweep.h"

namespace mdmsim {
namespace {

using std::chrono::milliseconds;

// Apart from the update's draws, so that adding the calls left every seed's update as it was.
constexpr unsigned kCallStream = 0xCA11;

// The time the payload needs on the line, ten bits a byte.
milliseconds LineTime(std::size_t bytes, std::uint32_t rate) {
  return milliseconds(static_cast<std::int64_t>(bytes) * 10'000 / rate);
}

}  // namespace

std::string DrawnCall::Describe() const {
  std::string text = "call seed " + std::to_string(seed) + ": " + KindOf(flow).name + ", " +
                     std::to_string(payloadSize) + " bytes " +
                     (bothWays ? "both ways" : "one way") + " at " + std::to_string(rate) +
                     " bit/s, ";
  if (!fault) return text + "no line fault";
  std::string after = std::to_string(fault->after.count()) + " ms after CONNECT";
  if (fault->kind == LineFault::Kind::kDrop) return text + "dropped " + after;
  return text + std::to_string(fault->length.count()) + " ms of noise " + after;
}

DrawnCall DrawCall(unsigned seed) {
  std::mt19937 random(seed ^ kCallStream);
  static constexpr std::uint32_t kRates[] = {9600, 14400, 28800, 33600};
  DrawnCall call;
  call.seed = seed;
  call.flow = FlowKinds()[random() % FlowKinds().size()].flow;
  call.payloadSize = 1024 + random() % 8192;
  call.bothWays = random() % 2 == 0;
  call.rate = kRates[random() % std::size(kRates)];
  // No fault one time in three, a dropped call one in three, noise one in three: short noise
  // garbles bytes, long noise loses the carrier. Noise could turn a byte into XON or XOFF, which
  // software flow control would take as such; those calls are dropped instead.
  unsigned kind = random() % 3;
  if (kind == 0) return call;
  auto after = milliseconds(random() % (LineTime(call.payloadSize, call.rate).count() + 1));
  bool software = sim::modem::Software(call.flow);
  if (kind == 1 || software) {
    call.fault = LineFault{LineFault::Kind::kDrop, after, {}};
  } else {
    call.fault = LineFault{LineFault::Kind::kNoise, after, milliseconds(50 + random() % 2500)};
  }
  return call;
}

UsbCall CallOf(const DrawnCall& drawn) {
  UsbCall call;
  call.payload = CallPayload(drawn.payloadSize, drawn.seed);
  call.bothWays = drawn.bothWays;
  call.flow = drawn.flow;
  call.rate = drawn.rate;
  call.fault = drawn.fault;
  return call;
}

}  // namespace mdmsim
