// The transfer engine under load, through the whole driver stack in virtual time: the cost of a
// status completion (the driver's main loop, with everything the completion drives, and the
// simulated bus and modem beside it), whether the status chain allocates, and the payload moved
// per 1 ms frame in each direction when the port side always has data and room.
//
// Instructions instead of seconds: valgrind --tool=callgrind build/bench/engine_bench
#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/root.h"
#include "platform/clock/one_cpu.h"
#include "platform/clock/virtual_clock.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pool.h"
#include "tools/mdmsim/rig.h"
#include "updater/serial/serial.h"

namespace {

using Wall = std::chrono::steady_clock;

struct Window {
  std::uint64_t statusPackets = 0;
  std::uint64_t toModem = 0;
  std::uint64_t toHost = 0;
  std::uint64_t allocations = 0;
  double wallNs = 0;
};

// Runs `ms` of virtual time and reports what the modem saw meanwhile.
Window Measure(sim::world::World& world, mdmsim::RiggedModem& modem, const char* what, int ms) {
  Window before;
  world.Call([&] {
    before.statusPackets = modem.device->statusPackets();
    before.toModem = modem.device->bytesFromHost();
    before.toHost = modem.device->bytesToHost();
  });
  platform::wdm::pool::ResetCount();
  CALLGRIND_ZERO_STATS;
  auto start = Wall::now();
  Sleep(static_cast<DWORD>(ms));
  CALLGRIND_DUMP_STATS_AT(what);
  Window after;
  after.wallNs = std::chrono::duration<double, std::nano>(Wall::now() - start).count();
  after.allocations = platform::wdm::pool::Count();
  world.Call([&] {
    after.statusPackets = modem.device->statusPackets() - before.statusPackets;
    after.toModem = modem.device->bytesFromHost() - before.toModem;
    after.toHost = modem.device->bytesToHost() - before.toHost;
  });
  return after;
}

void Report(const char* what, const Window& w, int ms) {
  std::printf("%-28s %10llu %14.0f %12llu %14.1f %14.1f\n", what,
              static_cast<unsigned long long>(w.statusPackets),
              w.statusPackets ? w.wallNs / static_cast<double>(w.statusPackets) : 0.0,
              static_cast<unsigned long long>(w.allocations), static_cast<double>(w.toModem) / ms,
              static_cast<double>(w.toHost) / ms);
}

}  // namespace

int main() {
  platform::clock::StayOnOneCpu();  // as mdmsim does: the simulation's threads take turns
  platform::TemporaryRoot root("mdm-bench-");
  if (root.path().empty()) return 1;
  platform::vxd::ResetSystem();
  {
    platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
    platform::clock::ThreadScope thread("bench");
    sim::world::World world;
    mdmsim::DriverRig rig(world);
    mdmsim::RiggedModem* modem = rig.AddModem("COM3", {mdmsim::SerialFor(0), u"USB Modem", true});
    commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    commPortSession.port = OpenCommPort("COM3", 250);

    std::printf("%-28s %10s %14s %12s %14s %14s\n", "window (virtual)", "statuses",
                "wall ns/status", "allocations", "host->modem/ms", "modem->host/ms");
    Sleep(500);  // the chain is running
    constexpr int kIdleMs = 5000;
    Report("idle, 5 s", Measure(world, *modem, "idle", kIdleMs), kIdleMs);

    // The modem echoes every byte in command mode, so a stream without a line end keeps both
    // directions busy: the port side always has data, and the COM port always has room.
    std::vector<BYTE> stream(1 << 20, 'a');
    OVERLAPPED request{};
    request.hEvent = commPortSession.writeEvent;
    DWORD written = 0;
    WriteFile(commPortSession.port, stream.data(), static_cast<DWORD>(stream.size()), &written,
              &request);
    Sleep(100);
    constexpr int kBusyMs = 5000;
    Report("streaming both ways, 5 s", Measure(world, *modem, "streaming", kBusyMs), kBusyMs);
    std::printf("ceiling: 62 payload bytes per packet, at most one packet per frame each way\n");

    CloseCommPort();  // abandons the rest of the stream
    CloseHandle(commPortSession.readEvent);
    CloseHandle(commPortSession.writeEvent);
    rig.Shutdown();
  }
  return 0;
}
