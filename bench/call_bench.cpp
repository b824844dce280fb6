// Calls through the whole driver stack in virtual time (COM port, serial-port driver, mdmcore,
// host controller, USB modem, phone line): the sustained throughput per direction as a share of
// the line's rate while both hosts write as fast as they can, at 33600 bit/s under each kind of
// flow control, and then at rising line rates up to the highest one at which the driver still
// carries 98 % of it both ways at once, with the reason for that ceiling.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/base/root.h"
#include "platform/clock/one_cpu.h"
#include "tools/mdmsim/call.h"

namespace {

constexpr double kGoal = 0.98;

struct Figures {
  double there = 0;  // shares of the line rate
  double back = 0;
  double virtualSeconds = 0;
  double wallSeconds = 0;
  bool good = false;
  double Worse() const { return there < back ? there : back; }
};

// Ten seconds of the line's time in each direction, at least 256 KiB.
Figures Measure(std::uint32_t rate, sim::modem::Flow flow) {
  std::size_t bytes = std::max<std::size_t>(256 * 1024, rate);
  mdmsim::UsbCall call;
  call.payload = mdmsim::CallPayload(bytes, rate);
  call.bothWays = true;
  call.flow = flow;
  call.rate = rate;
  auto start = std::chrono::steady_clock::now();
  mdmsim::UsbCallResult result = mdmsim::RunUsbCall(call);
  Figures figures;
  figures.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.there = result.there.Share(rate);
  figures.back = result.back.Share(rate);
  figures.virtualSeconds = result.there.seconds;
  figures.good = result.AllGood();
  return figures;
}

void Print(const char* what, std::uint32_t rate, const Figures& figures) {
  std::printf("%-22s %7u bit/s   %6.2f %%   %6.2f %%   %7.1f s   %6.2f s   %s\n", what, rate,
              100 * figures.there, 100 * figures.back, figures.virtualSeconds, figures.wallSeconds,
              figures.good ? "intact" : "FAILED");
}

// The highest rate (to 1 %) at which both directions keep the goal, between a rate known to keep
// it and one known not to.
std::uint32_t Ceiling(std::uint32_t good, std::uint32_t bad) {
  while (bad - good > good / 100) {
    std::uint32_t middle = good + (bad - good) / 2;
    Figures figures = Measure(middle, sim::modem::Flow::kRtsCts);
    Print("  bisecting", middle, figures);
    (figures.Worse() >= kGoal && figures.good ? good : bad) = middle;
  }
  return good;
}

}  // namespace

int main() {
  platform::clock::StayOnOneCpu();
  platform::TemporaryRoot root("call-bench-");
  if (root.path().empty()) {
    std::fprintf(stderr, "call_bench: cannot make a platform root\n");
    return 1;
  }
  std::printf(
      "call through the driver, both ways at once   COM3->COM4  COM4->COM3   virtual"
      "     wall\n");
  const std::pair<const char*, sim::modem::Flow> kinds[] = {
      {"RTS/CTS", sim::modem::Flow::kRtsCts},
      {"XON/XOFF", sim::modem::Flow::kXonXoff},
      {"both", sim::modem::Flow::kBoth},
      {"none", sim::modem::Flow::kNone}};
  for (auto [name, flow] : kinds) Print(name, 33600, Measure(33600, flow));

  std::uint32_t good = 33600;
  std::uint32_t bad = 0;
  for (std::uint32_t rate : {57600u, 115200u, 230400u, 288000u, 345600u, 460800u}) {
    Figures figures = Measure(rate, sim::modem::Flow::kRtsCts);
    Print("RTS/CTS", rate, figures);
    if (figures.Worse() < kGoal || !figures.good) {
      bad = rate;
      break;
    }
    good = rate;
  }
  if (bad == 0) {
    std::printf("ceiling: above %u bit/s\n", good);
    return 0;
  }
  std::printf("ceiling: %u bit/s carried at >= %.0f %% both ways\n", Ceiling(good, bad),
              100 * kGoal);
  // Why: the receiving side's data-in path. A status completion comes every other frame and a
  // data-in transfer at most every other completion (it is still in flight at the next one),
  // so the host takes one packet of at most 62 bytes every 4 ms, one way or both ways alike;
  // the data-out path alone carries more (up to 31 bytes per frame).
  std::printf(
      "limit: one data-in packet of 62 bytes every 4 ms = 15.5 bytes/ms = 155000 bit/s "
      "at ten bits a byte\n");
  return 0;
}
