// What the simulated bus and the driver's Plug and Play cycle cost in wall time: a frame of the
// host controller while a transfer waits (the status chain will keep one in flight every frame
// while a modem is on), and a whole load, plug, start, stop, remove and unload of mdmcore.
#include <benchmark/benchmark.h>

#include <memory>

#include "driver/core/devext.h"
#include "platform/base/root.h"
#include "platform/clock/one_cpu.h"
#include "platform/clock/virtual_clock.h"
#include "platform/usb/host_controller.h"
#include "platform/wdm/pnp.h"
#include "sim/usbdevice/modem.h"
#include "sim/world/world.h"

namespace {

namespace clock = platform::clock;
namespace pnp = platform::wdm::pnp;

// Each iteration is one second of virtual time, 1000 frames in which a bulk IN transfer is offered
// to a modem that has nothing to say, with only the world thread running (items: frames).
void BusFrameWithATransferWaiting(benchmark::State& state) {
  clock::ScopedClock scoped(std::make_unique<clock::VirtualClock>());
  clock::ThreadScope thread("bench");
  sim::world::World world;
  PDEVICE_OBJECT pdo = world.Plug(std::make_shared<sim::usbdevice::UsbModem>());
  static BYTE buffer[32];
  platform::usb::Transfer transfer;
  transfer.endpoint = 0x83;
  transfer.type = UsbdPipeTypeBulk;
  transfer.buffer = buffer;
  transfer.length = sizeof(buffer);
  world.Call([&] { world.bus().Submit(1, transfer); });
  for (auto _ : state) clock::SleepFor(clock::Milliseconds(1000));
  state.SetItemsProcessed(state.iterations() * 1000);
  world.Call([&] { world.bus().Abort(1, 0x83); });
  world.Unplug(pdo);
}
BENCHMARK(BusFrameWithATransferWaiting);

void LoadPlugStartStopRemoveUnload(benchmark::State& state) {
  clock::ScopedClock scoped(std::make_unique<clock::VirtualClock>());
  clock::ThreadScope thread("bench");
  sim::world::World world;
  for (auto _ : state) {
    PDRIVER_OBJECT driver = nullptr;
    pnp::LoadDriver(DriverEntry, "mdmcore", &driver);
    PDEVICE_OBJECT pdo = world.Plug(std::make_shared<sim::usbdevice::UsbModem>());
    pnp::AddDevice(driver, pdo);
    pnp::StartDevice(pdo);
    pnp::StopDevice(pdo);
    pnp::RemoveDevice(pdo);
    world.Unplug(pdo);
    pnp::UnloadDriver(driver);
  }
}
BENCHMARK(LoadPlugStartStopRemoveUnload);

}  // namespace

// The driver writes the modems' bindings into the registry: into a platform root of the bench's
// own, never the user's.
int main(int argc, char** argv) {
  platform::clock::StayOnOneCpu();  // as mdmsim does: the simulation's threads take turns
  platform::TemporaryRoot root("mdm-bench-");
  if (root.path().empty()) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
