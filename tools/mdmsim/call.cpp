#include "tools/mdmsim/call.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <random>

#include "platform/clock/virtual_clock.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pool.h"
#include "sim/modem/phone_line.h"
#include "sim/world/world.h"
#include "tools/mdmsim/call_host.h"
#include "tools/mdmsim/rig.h"

namespace mdmsim {
namespace {

using platform::clock::Time;

constexpr int kConnectLimitMs = 30000;  // dialling, ringing and the handshake
constexpr int kAnswerLimitMs = 5000;
constexpr int kResyncLimitMs = 1000;
constexpr int kDtrDropMs = 200;
constexpr int kEscapeGuardMs = 1100;   // a little over the modems' guard time (S12 = 50)
constexpr std::uint8_t kNoise = 0x5A;  // how the simulated line garbles a byte

double Seconds(Time from, Time to) {
  return std::chrono::duration<double>(to - from).count();
}

// Whether `got` is `sent` once and in order. After a line fault: a prefix of it (bytes the
// noise garbled allowed in their places), then the modem's NO CARRIER and after that only what
// the modem said in command mode, to whatever the host sent it before it saw the carrier go.
// The reader stops at as many bytes as were sent, so a call dropped as its last bytes went may
// end `got` inside the NO CARRIER. `payload` is how many of the bytes got were payload.
bool Intact(const std::vector<std::uint8_t>& sent, const std::vector<std::uint8_t>& got,
            bool faulted, std::uint64_t& payload) {
  constexpr std::string_view kNoCarrier = "\r\nNO CARRIER\r\n";
  std::size_t same = 0;
  while (same < got.size() && same < sent.size() &&
         (got[same] == sent[same] || (faulted && got[same] == (sent[same] ^ kNoise)))) {
    ++same;
  }
  payload = same;
  if (same == got.size()) return faulted || same == sent.size();
  if (!faulted) return false;
  std::string_view text(reinterpret_cast<const char*>(got.data()), got.size());
  const bool cutByTheCount = got.size() == sent.size();
  for (std::size_t split = same + 1; split-- > 0;) {
    std::string_view rest = text.substr(split);
    if (rest.starts_with(kNoCarrier) ||
        (cutByTheCount && !rest.empty() && kNoCarrier.starts_with(rest))) {
      payload = split;
      return true;
    }
  }
  return false;
}

class CallRun {
 public:
  CallRun(const UsbCall& call, UsbCallResult& result) : call_(call), result_(result) {}

  void Run(DriverRig& rig, sim::world::World& world) {
    auto line = std::make_shared<sim::modem::PhoneLine>(sim::modem::LineConfig{.rate = call_.rate});
    for (int i = 0; i < 2; ++i) {
      RiggedModem* modem = rig.AddModem(ComNameFor(i), {SerialFor(i), u"USB Modem", true});
      if (modem == nullptr) return;
      world.Call([&] { modem->device->PlugIntoLine(line, std::to_string(3 + i)); });
    }
    {
      CallHost caller("COM3", call_.flow, log_);
      CallHost called("COM4", call_.flow, log_);
      if (caller.open() && called.open() && Connect(caller, called)) {
        if (call_.fault) ScheduleFault(world, line);
        Exchange(caller, called);
        HangUp(caller, called);
      }
    }
    world.Call([&] {
      result_.callerFlow = Extension(rig.Find("COM3")->fdo)->modemContext.flowCounters;
      result_.calledFlow = Extension(rig.Find("COM4")->fdo)->modemContext.flowCounters;
      for (const auto& modem : rig.modems()) {
        result_.overruns += modem->device->firmware().overruns();
        result_.flowStops += modem->device->firmware().flowStops();
      }
    });
  }

 private:
  bool Connect(CallHost& caller, CallHost& called) {
    std::string setup = std::string("ATE0") + KindOf(call_.flow).command;
    called.Say(setup + "S0=1");
    caller.Say(setup);
    if (!called.Await("OK\r\n", kAnswerLimitMs) || !caller.Await("OK\r\n", kAnswerLimitMs)) {
      return false;
    }
    caller.Say("ATD4");
    std::string connect = "CONNECT " + std::to_string(call_.rate) + "\r\n";
    result_.connected =
        caller.Await(connect, kConnectLimitMs) && called.Await(connect, kConnectLimitMs);
    return result_.connected;
  }

  void ScheduleFault(sim::world::World& world, const std::shared_ptr<sim::modem::PhoneLine>& line) {
    Time at = platform::clock::Current().Now() + call_.fault->after;
    LineFault fault = *call_.fault;
    world.Call([=] {
      if (fault.kind == LineFault::Kind::kDrop) {
        line->DropAt("3", at);
      } else {
        line->NoiseAt("3", at, fault.length);
      }
    });
  }

  // Each host writes on one thread and reads on another, all starting at the same moment.
  void Exchange(CallHost& caller, CallHost& called) {
    const std::vector<std::uint8_t>& payload = call_.payload;
    std::vector<std::uint8_t> atCalled, atCaller;
    Time start = platform::clock::Current().Now();
    Time lastThere = start, lastBack = start;
    std::vector<platform::clock::SpawnedThread> threads;
    if (call_.alongside) {
      threads.push_back(platform::clock::Spawn(
          "alongside", [&] { call_.alongside(caller.handle(), called.handle()); }));
    }
    threads.push_back(platform::clock::Spawn(
        "COM3 writer", [&] { caller.WritePayload(payload, result_.there.sent); }));
    threads.push_back(platform::clock::Spawn(
        "COM4 reader", [&] { called.ReadPayload(payload.size(), atCalled, lastThere); }));
    if (call_.bothWays) {
      threads.push_back(platform::clock::Spawn(
          "COM4 writer", [&] { called.WritePayload(payload, result_.back.sent); }));
      threads.push_back(platform::clock::Spawn(
          "COM3 reader", [&] { caller.ReadPayload(payload.size(), atCaller, lastBack); }));
    }
    for (platform::clock::SpawnedThread& thread : threads) platform::clock::Join(thread);
    Check(result_.there, atCalled, start, lastThere);
    if (call_.bothWays) Check(result_.back, atCaller, start, lastBack);
    log_("COM3 -> COM4: " + Describe(result_.there));
    if (call_.bothWays) log_("COM4 -> COM3: " + Describe(result_.back));
  }

  void Check(CallDirection& direction, const std::vector<std::uint8_t>& got, Time start,
             Time last) {
    bool faulted = call_.fault.has_value();
    direction.intact = Intact(call_.payload, got, faulted, direction.received);
    direction.seconds = Seconds(start, last);
  }

  std::string Describe(const CallDirection& direction) const {
    char text[160];
    std::snprintf(text, sizeof(text), "%llu of %llu bytes %s, %.3f s, %.1f%% of the line rate",
                  static_cast<unsigned long long>(direction.received),
                  static_cast<unsigned long long>(direction.sent),
                  direction.intact ? "intact" : "NOT INTACT", direction.seconds,
                  100.0 * direction.Share(call_.rate));
    return text;
  }

  // COM3 escapes to command mode (when the call is still up) and hangs up; COM4 hears the
  // carrier go.
  void HangUp(CallHost& caller, CallHost& called) {
    bool escaped = false;
    if (caller.Carrier()) {
      Sleep(kEscapeGuardMs);
      caller.Send("+++");
      Sleep(kEscapeGuardMs);
      escaped = caller.Await("OK\r\n", kAnswerLimitMs);
    }
    if (!escaped) Resync(caller);  // the call was lost, perhaps during the escape
    caller.Say("ATH");
    bool ended = caller.Await("OK\r\n", kAnswerLimitMs);
    // After a lost call COM4's reader may have taken the NO CARRIER with the payload.
    bool heard = called.Await("NO CARRIER", kAnswerLimitMs) || call_.fault.has_value();
    result_.hungUp = ended && heard && !caller.Carrier() && !called.Carrier();
  }

  // After a lost call the host's last bytes (or its escape) reached its modem in command mode,
  // as commands of their own or half a command line. A drop of DTR makes the modem forget them
  // (and leave download mode, should they have asked for it); an "AT" of its own ends a line
  // begun after that, and the next one is answered OK.
  static void Resync(CallHost& host) {
    EscapeCommFunction(host.handle(), CLRDTR);
    Sleep(kDtrDropMs);
    EscapeCommFunction(host.handle(), SETDTR);
    for (int attempt = 0; attempt < 3; ++attempt) {
      host.Say("AT");
      if (host.Await("OK\r\n", kResyncLimitMs)) return;
    }
  }

  const UsbCall& call_;
  UsbCallResult& result_;
  std::function<void(const std::string&)> log_ = [this](const std::string& line) {
    if (!call_.onLog) return;
    char stamp[32];
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(platform::clock::Current().Now());
    std::snprintf(stamp, sizeof(stamp), "%9lld ms  ", static_cast<long long>(ms.count()));
    call_.onLog(stamp + line + "\n");
  };
};

}  // namespace

double CallDirection::Share(std::uint32_t rate) const {
  if (seconds <= 0 || rate == 0) return 0;
  return static_cast<double>(received) * 10 / seconds / rate;
}

bool UsbCallResult::AllGood() const {
  return connected && there.intact && back.intact && hungUp && overruns == 0 && driverStopped &&
         poolReport == "pool: no block outstanding\n";
}

std::span<const FlowKind> FlowKinds() {
  static constexpr FlowKind kKinds[] = {
      {sim::modem::Flow::kNone, "&K0", "none", "no flow control"},
      {sim::modem::Flow::kRtsCts, "&K3", "rtscts", "RTS/CTS"},
      {sim::modem::Flow::kXonXoff, "&K4", "xonxoff", "XON/XOFF"},
      {sim::modem::Flow::kBoth, "&K5", "both", "RTS/CTS and XON/XOFF"},
  };
  return kKinds;
}

const FlowKind& KindOf(sim::modem::Flow flow) {
  for (const FlowKind& kind : FlowKinds()) {
    if (kind.flow == flow) return kind;
  }
  return FlowKinds().front();  // every Flow is in the table
}

const char* FlowStateName(ULONG state) {
  static const char* const kNames[kFlowStates] = {"Offline", "OnlineNone", "OnlineHardware",
                                                  "OnlineSoftware", "OnlineBoth"};
  return state < kFlowStates ? kNames[state] : "?";
}

std::vector<std::uint8_t> CallPayload(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    auto byte = static_cast<std::uint8_t>(random());
    if (byte != sim::modem::Firmware::kXon && byte != sim::modem::Firmware::kXoff) {
      bytes.push_back(byte);
    }
  }
  return bytes;
}

UsbCallResult RunUsbCall(const UsbCall& call) {
  platform::vxd::ResetSystem();
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope host("call host");
  UsbCallResult result;
  result.back.intact = !call.bothWays;
  {
    sim::world::World world;
    DriverRig rig(world);
    if (NT_SUCCESS(rig.loadStatus())) CallRun(call, result).Run(rig, world);
    result.virtualMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.clock().Now()).count();
    result.driverStopped = NT_SUCCESS(rig.loadStatus()) && NT_SUCCESS(rig.Shutdown());
  }
  result.poolReport = platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding());
  return result;
}

}  // namespace mdmsim
