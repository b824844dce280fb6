#include "tools/mdmsim/usb_update.h"

#include <algorithm>
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

// Compares each started modem's flash with the image, and what the serial-port driver handed
// to mdmcore with what reached the modem, on the world thread. Packets still on the bus when the
// session ends land first.
void CheckFlash(sim::world::World& world, DriverRig& rig, const SerialUpdate& session,
                UsbUpdateResult& result) {
  platform::clock::SleepFor(std::chrono::milliseconds(20));
  for (UsbModemOutcome& outcome : result.modems) {
    outcome.offered = WasOffered(result.log, outcome.port);
    std::vector<std::uint8_t> image = ReadImage(ImageFor(session, outcome.port));
    for (auto& modem : rig.modems()) {
      if (modem->comName != outcome.port) continue;
      outcome.pulledOut = modem->removed;
      world.Call([&] {
        outcome.holdsImage = modem->device->firmware().flash().image() == image;
        outcome.streamIntact = modem->port->toDriverDigest() == modem->device->fromHostDigest();
        outcome.bytesFromHost = modem->device->bytesFromHost();
        outcome.bytesToHost = modem->device->bytesToHost();
      });
    }
  }
}

// Runs the update's events at their moments. The world thread looks at the modems every 2 ms of
// virtual time (cheaply, with no hand-over between threads) and marks the events whose moment
// has come; a thread of its own runs them, since an action such as a removal waits for the
// driver as the system's Plug and Play manager does.
class EventRunner {
 public:
  EventRunner(sim::world::World& world, DriverRig& rig, const std::vector<UsbEvent>& events)
      : world_(world), rig_(rig), events_(events), state_(events.size(), kWaiting) {
    if (events_.empty()) return;
    world_.Call([this] { Check(); });
    thread_ = platform::clock::Spawn("events", [this] { Run(); });
  }
  // Ends the checks and the thread (an action under way is finished first); returns how many
  // events ran.
  int Stop() {
    if (events_.empty()) return 0;
    world_.Call([this] {
      checking_ = false;
      if (check_) world_.processor().Cancel(*check_);
    });
    {
      platform::clock::Lock lock(platform::clock::Current().Mutex());
      stop_ = true;
      platform::clock::Current().Notify();
    }
    platform::clock::Join(thread_);
    return ran_;
  }

 private:
  enum State { kWaiting, kDue, kDone };

  // On the world thread.
  void Check() {
    check_.reset();
    if (!checking_) return;
    bool waiting = false;
    {
      platform::clock::Lock lock(platform::clock::Current().Mutex());
      for (std::size_t i = 0; i < events_.size(); ++i) {
        if (state_[i] != kWaiting) continue;
        if (Reached(events_[i])) {
          state_[i] = kDue;
        } else {
          waiting = true;
        }
      }
      platform::clock::Current().Notify();
    }
    if (waiting) {
      auto next = platform::clock::Current().Now() + std::chrono::milliseconds(2);
      check_ = world_.processor().Schedule(next, [this] { Check(); });
    }
  }

  bool Reached(const UsbEvent& event) const {
    return event.modem < rig_.modems().size() &&
           rig_.modems()[event.modem]->device->bytesFromHost() >= event.afterBytes;
  }

  void Run() {
    while (ran_ < static_cast<int>(events_.size())) {
      std::vector<std::size_t> due;
      {
        platform::clock::Clock& clock = platform::clock::Current();
        platform::clock::Lock lock(clock.Mutex());
        auto anyDue = [this] { return std::ranges::find(state_, kDue) != state_.end(); };
        clock.Wait(
            lock, [&] { return stop_ || anyDue(); }, std::nullopt, "session events");
        if (stop_) return;
        for (std::size_t i = 0; i < state_.size(); ++i) {
          if (state_[i] == kDue) {
            state_[i] = kDone;
            due.push_back(i);
          }
        }
      }
      for (std::size_t i : due) {
        events_[i].action(world_, rig_);
        ++ran_;
      }
    }
  }

  sim::world::World& world_;
  DriverRig& rig_;
  const std::vector<UsbEvent>& events_;
  std::vector<State> state_;                               // under the clock's lock
  bool stop_ = false;                                      // under the clock's lock
  bool checking_ = true;                                   // on the world thread
  std::optional<platform::wdm::Processor::WorkId> check_;  // on the world thread
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
  auto virtualClock = std::make_unique<platform::clock::VirtualClock>();
  const platform::clock::VirtualClock& turns = *virtualClock;
  platform::clock::ScopedClock clock(std::move(virtualClock));
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
    result.handovers = turns.Handovers();
    CheckFlash(world, rig, update.session, result);
    result.driverStopped = NT_SUCCESS(rig.loadStatus()) && NT_SUCCESS(rig.Shutdown());
  }
  result.poolReport = platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding());
  return result;
}

}  // namespace mdmsim
