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
#include "tools/mdmsim/serial_map.h"

namespace mdmsim {
namespace {

// True when the serial-port map holds `name`: the driver bound the modem to that port itself.
bool Listed(const std::string& name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  bool found =
      RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

// Plugs the modem and has the driver add and start it, with `beforeStart` run on the world
// thread once the modem is on the bus; an allocation failure it switched on does not outlive
// the start.
RiggedModem* StartModem(sim::world::World& world, DriverRig& rig, const std::string& port,
                        const UsbModemSetup& setup, const std::function<void()>& beforeStart) {
  if (!beforeStart) return rig.AddModem(port, setup.identity, setup.behaviour);
  RiggedModem* modem = rig.AddModem(port, setup.identity, setup.behaviour, beforeStart);
  world.Call([] { platform::wdm::pool::FailNth(0); });
  return modem;
}

// Plugs each modem (a modem whose start fails with a fault switched on for it is plugged in
// again); the driver binds it to the next COM number from its first valid port.
std::vector<UsbModemOutcome> PlugModems(sim::world::World& world, DriverRig& rig,
                                        const UsbUpdate& update) {
  std::vector<UsbModemOutcome> outcomes;
  for (std::size_t i = 0; i < update.modems.size(); ++i) {
    UsbModemOutcome outcome;
    outcome.port = ComNameFor(static_cast<int>(i));
    outcome.serial = Narrow(update.modems[i].identity.serial);
    const UsbModemSetup& setup = update.modems[i];
    auto hook = update.beforeStart.find(i);
    std::function<void()> beforeStart = hook != update.beforeStart.end() ? hook->second : nullptr;
    RiggedModem* modem = StartModem(world, rig, outcome.port, setup, beforeStart);
    if (modem == nullptr && beforeStart) {
      outcome.startRetried = true;
      modem = StartModem(world, rig, outcome.port, setup, nullptr);
    }
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
// virtual time (cheaply, with no hand-over between threads), runs the events' parts that belong
// on it and marks the actions whose moment has come; a thread of its own (only when there are
// actions) runs those, since an action such as a removal waits for the driver as the system's
// Plug and Play manager does.
class EventRunner {
 public:
  EventRunner(sim::world::World& world, DriverRig& rig, const std::vector<UsbEvent>& events)
      : world_(world), rig_(rig), events_(events), state_(events.size()), due_(events.size()) {
    if (events_.empty()) return;
    world_.Call([this] { Check(); });
    bool actions = std::ranges::any_of(events_, [](const UsbEvent& e) { return !!e.action; });
    if (actions) thread_ = platform::clock::Spawn("events", [this] { Run(); });
  }
  // Ends the checks and the thread (an action under way is finished first); returns how many
  // events' moments came.
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
    return struck_;
  }

 private:
  using Time = platform::clock::Time;
  enum Phase { kWaiting, kTiming, kLasting, kDone };
  struct State {
    Phase phase = kWaiting;
    Time at{};  // kTiming: when it strikes; kLasting: when it ends
  };

  // On the world thread.
  void Check() {
    check_.reset();
    if (!checking_) return;
    Time now = platform::clock::Current().Now();
    bool pending = false;
    for (std::size_t i = 0; i < events_.size(); ++i) {
      if (Advance(events_[i], state_[i], now)) {
        platform::clock::Lock lock(platform::clock::Current().Mutex());
        due_[i] = true;
        platform::clock::Current().Notify();
      }
      pending = pending || state_[i].phase != kDone;
    }
    if (pending) {
      check_ = world_.processor().Schedule(now + std::chrono::milliseconds(2), [this] { Check(); });
    }
  }

  // One event's step at `now`, on the world thread; true when its action is due.
  bool Advance(const UsbEvent& event, State& state, Time now) {
    if (state.phase == kWaiting && Reached(event)) state = {kTiming, now + event.wait};
    if (state.phase == kTiming && now >= state.at) {
      ++struck_;
      if (event.onWorld) event.onWorld(world_, rig_, EventTick::kStrike);
      bool lasts = event.onWorld && event.lasts.count() > 0;
      state = {lasts ? kLasting : kDone, now + event.lasts};
      return !!event.action;
    }
    if (state.phase == kLasting) {
      bool over = now >= state.at;
      event.onWorld(world_, rig_, over ? EventTick::kEnd : EventTick::kDuring);
      if (over) state.phase = kDone;
    }
    return false;
  }

  bool Reached(const UsbEvent& event) {
    RiggedModem* modem = rig_.Find(ComNameFor(static_cast<int>(event.modem)));
    return modem != nullptr && modem->device->bytesFromHost() >= event.afterBytes;
  }

  void Run() {
    for (;;) {
      std::vector<std::size_t> due;
      {
        platform::clock::Clock& clock = platform::clock::Current();
        platform::clock::Lock lock(clock.Mutex());
        auto anyDue = [this] { return std::ranges::find(due_, true) != due_.end(); };
        clock.Wait(
            lock, [&] { return stop_ || anyDue(); }, std::nullopt, "session events");
        if (stop_) return;
        for (std::size_t i = 0; i < due_.size(); ++i) {
          if (due_[i]) {
            due_[i] = false;
            due.push_back(i);
          }
        }
      }
      for (std::size_t i : due) events_[i].action(world_, rig_);
    }
  }

  sim::world::World& world_;
  DriverRig& rig_;
  const std::vector<UsbEvent>& events_;
  std::vector<State> state_;                               // on the world thread
  std::vector<bool> due_;                                  // actions to run, under the clock's lock
  bool stop_ = false;                                      // under the clock's lock
  bool checking_ = true;                                   // on the world thread
  std::optional<platform::wdm::Processor::WorkId> check_;  // on the world thread
  int struck_ = 0;                                         // on the world thread
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
    // A failure meant for the session that has not come yet does not strike the stop.
    world.Call([] { platform::wdm::pool::FailNth(0); });
    auto beforeStop = [&update](RiggedModem& modem) {
      for (const auto& [index, hook] : update.beforeStop) {
        if (ComNameFor(static_cast<int>(index)) == modem.comName) hook();
      }
    };
    result.driverStopped = NT_SUCCESS(rig.loadStatus()) && NT_SUCCESS(rig.Shutdown(beforeStop));
    world.Call([] { platform::wdm::pool::FailNth(0); });
  }
  result.poolReport = platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding());
  return result;
}

}  // namespace mdmsim
