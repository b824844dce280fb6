#include "tools/mdmsim/usb_update.h"

#include <atomic>
#include <memory>
#include <optional>

#include "platform/clock/virtual_clock.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pool.h"
#include "platform/win32/inprocess_port.h"
#include "sim/world/world.h"
#include "tools/mdmsim/rig.h"

namespace mdmsim {
namespace {

// True when the serial-port map holds `name`: the driver bound the modem to that port itself.
bool Listed(const std::string& name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool found =
      RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

// Plugs each modem; the driver binds it to the next COM number from its first valid port.
std::vector<UsbModemOutcome> PlugModems(sim::world::World& world, DriverRig& rig,
                                        const UsbUpdate& update) {
  std::vector<UsbModemOutcome> outcomes;
  for (std::size_t i = 0; i < update.modems.size(); ++i) {
    UsbModemOutcome outcome;
    outcome.port = ComNameFor(static_cast<int>(i));
    outcome.serial = Narrow(update.modems[i].identity.serial);
    RiggedModem* modem =
        rig.AddModem(outcome.port, update.modems[i].identity, update.modems[i].behaviour);
    outcome.started = modem != nullptr;
    outcomes.push_back(outcome);
  }
  // The binding is written by the configuration manager's events, which run after the start:
  // give them up to a second of virtual time, as the system would before a user starts a program.
  auto allListed = [&outcomes] {
    for (const UsbModemOutcome& outcome : outcomes) {
      if (!outcome.started || !Listed(outcome.port)) return false;
    }
    return true;
  };
  for (int step = 0; step < 100 && !allListed(); ++step) {
    world.Call([] {});
    platform::clock::SleepFor(std::chrono::milliseconds(10));
  }
  for (UsbModemOutcome& outcome : outcomes) {
    outcome.started = outcome.started && Listed(outcome.port);
  }
  return outcomes;
}

// Compares each started modem's flash with the image, on the world thread.
void CheckFlash(sim::world::World& world, DriverRig& rig, const SerialUpdate& session,
                UsbUpdateResult& result) {
  for (UsbModemOutcome& outcome : result.modems) {
    outcome.offered = WasOffered(result.log, outcome.port);
    std::vector<std::uint8_t> image = ReadImage(ImageFor(session, outcome.port));
    for (auto& modem : rig.modems()) {
      if (modem->comName != outcome.port) continue;
      outcome.pulledOut = modem->removed;
      world.Call([&] { outcome.holdsImage = modem->device->firmware().flash().image() == image; });
    }
  }
}

// Runs the update's events at their moments on a thread of its own, looking at the modems every
// 2 ms of virtual time until every event has run or the session is over.
class EventRunner {
 public:
  EventRunner(sim::world::World& world, DriverRig& rig, const std::vector<UsbEvent>& events)
      : world_(world), rig_(rig), events_(events) {
    if (!events_.empty()) thread_ = platform::clock::Spawn("events", [this] { Run(); });
  }
  // Ends the thread (an action under way is finished first); returns how many events ran.
  int Stop() {
    stop_ = true;
    if (!events_.empty()) platform::clock::Join(thread_);
    return ran_;
  }

 private:
  void Run() {
    std::vector<bool> done(events_.size(), false);
    while (!stop_ && ran_ < static_cast<int>(events_.size())) {
      for (std::size_t i = 0; i < events_.size() && !stop_; ++i) {
        if (done[i] || !Reached(events_[i])) continue;
        events_[i].action(world_, rig_);
        done[i] = true;
        ++ran_;
      }
      platform::clock::SleepFor(std::chrono::milliseconds(2));
    }
  }

  bool Reached(const UsbEvent& event) {
    if (event.modem >= rig_.modems().size()) return false;
    std::uint64_t taken = 0;
    world_.Call([&] { taken = rig_.modems()[event.modem]->device->bytesFromHost(); });
    return taken >= event.afterBytes;
  }

  sim::world::World& world_;
  DriverRig& rig_;
  const std::vector<UsbEvent>& events_;
  std::atomic<bool> stop_ = false;
  int ran_ = 0;
  platform::clock::SpawnedThread thread_;
};

}  // namespace

bool UsbUpdateResult::AllGood() const {
  bool good = driverStopped && poolReport == "pool: no block outstanding\n";
  for (const UsbModemOutcome& modem : modems) {
    good = good && modem.started && (!modem.offered || modem.holdsImage);
  }
  return good;
}

UsbUpdateResult RunUsbUpdate(const UsbUpdate& update) {
  platform::vxd::ResetSystem();
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  std::optional<platform::clock::ThreadScope> dialogThread;
  dialogThread.emplace("dialog");
  // Plain ports are listed before the driver binds its modems, as the system's own ports are.
  std::vector<std::shared_ptr<platform::win32::InProcessPort>> plainPorts;
  for (const std::string& name : update.session.plainPorts) {
    ListPort(name);
    plainPorts.push_back(platform::win32::InProcessPort::Create(name));
  }
  UsbUpdateResult result;
  {
    sim::world::World world;
    DriverRig rig(world);
    if (NT_SUCCESS(rig.loadStatus())) result.modems = PlugModems(world, rig, update);
    if (update.beforeSession) world.Call([&] { update.beforeSession(world, rig); });
    EventRunner events(world, rig, update.events);
    result.log = RunSessionToEnd(update.session, dialogThread);
    result.eventsRun = events.Stop();
    result.virtualMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.clock().Now()).count();
    CheckFlash(world, rig, update.session, result);
    result.driverStopped = NT_SUCCESS(rig.loadStatus()) && NT_SUCCESS(rig.Shutdown());
  }
  result.poolReport = platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding());
  return result;
}

}  // namespace mdmsim
