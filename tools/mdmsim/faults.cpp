#include "tools/mdmsim/faults.h"

#include <cctype>
#include <charconv>

#include "platform/wdm/pool.h"

namespace mdmsim {
namespace {

using sim::modem::Behaviour;
using sim::modem::ZmodemStep;
using sim::world::World;
namespace pool = platform::wdm::pool;

constexpr UCHAR kDataIn = 0x85;
constexpr UCHAR kDataOut = 0x06;
constexpr UCHAR kCommand = 0x04;
constexpr USBD_STATUS kPacketMissed = static_cast<USBD_STATUS>(0xC000000Eu);

// Where the bus faults strike by default: well inside the first data blocks of an image of a
// few KiB.
constexpr std::uint64_t kMidTransfer = 1500;

// ---- Drawing a strike ---------------------------------------------------------------------------

int Between(std::mt19937& random, int low, int high) {
  return low + static_cast<int>(random() % static_cast<unsigned>(high - low + 1));
}

// Anywhere from the first status packet to the final reply: a byte count from 0 to past the
// image (ZModem's headers and escapes and a retry's bytes count too), and one time in four a wait
// of up to 3 s of virtual time after it, which reaches the flash check and the final reply.
void DrawMoment(std::mt19937& random, std::size_t imageSize, Strike& strike) {
  strike.at = random() % (imageSize + imageSize / 4 + 256);
  strike.waitMs = random() % 4 == 0 ? Between(random, 1, 3000) : 0;
}

// How long a fault that lasts is on: 10 ms to 3 s, or one time in four to the end.
int DrawLasting(std::mt19937& random) {
  return random() % 4 == 0 ? 0 : Between(random, 10, 3000);
}

unsigned DrawKinds(std::mt19937& random) {
  static constexpr unsigned kKinds[] = {pool::kPool, pool::kRequest, pool::kDevice, pool::kAny};
  return kKinds[random() % std::size(kKinds)];
}

template <int kLow, int kHigh>
void DrawRun(std::mt19937& random, std::size_t imageSize, Strike& strike) {
  DrawMoment(random, imageSize, strike);
  strike.count = Between(random, kLow, kHigh);
}

template <int kLow, int kHigh>
void DrawLastingLevel(std::mt19937& random, std::size_t imageSize, Strike& strike) {
  DrawMoment(random, imageSize, strike);
  strike.count = Between(random, kLow, kHigh);
  strike.forMs = DrawLasting(random);
}

void DrawSwitch(std::mt19937& random, std::size_t imageSize, Strike& strike) {
  DrawMoment(random, imageSize, strike);
  strike.forMs = DrawLasting(random);
}

// Noise: 5 to 60 % of the frames for 20 ms to 1.5 s.
void DrawNoise(std::mt19937& random, std::size_t imageSize, Strike& strike) {
  DrawMoment(random, imageSize, strike);
  strike.percent = Between(random, 5, 60);
  strike.forMs = Between(random, 20, 1500);
}

// The n-th allocation of a start or a stop: a modem's start makes about 20, its stop about 4
// (a failure past them does not strike).
template <int kHigh>
void DrawAllocation(std::mt19937& random, std::size_t, Strike& strike) {
  strike.count = Between(random, 1, kHigh);
  strike.kinds = DrawKinds(random);
}

// In the session: the n-th allocation after a drawn moment; a session makes about 20 a second
// (the status chain allocates nothing once it runs; data packets and commands do).
void DrawSessionAllocation(std::mt19937& random, std::size_t imageSize, Strike& strike) {
  DrawMoment(random, imageSize, strike);
  strike.count = Between(random, 1, 60);
  strike.kinds = DrawKinds(random);
}

// ---- Faults through USB
// ---------------------------------------------------------------------------

// A chance of `percent` for this frame of this strike: a hash of the virtual time, so the same
// strike loses the same frames in every run.
bool FrameHit(const Strike& strike, int frame) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(platform::clock::Current().Now());
  std::uint64_t x = static_cast<std::uint64_t>(ms.count() + frame) * 0x9E3779B97F4A7C15ull ^
                    (strike.at + 1) * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 29;
  return static_cast<int>(x % 100) < strike.percent;
}

// The frames of the last check (2 ms) that the noise hits.
int NoisyFrames(const Strike& strike, EventTick tick) {
  if (tick == EventTick::kEnd) return 0;
  return FrameHit(strike, 0) + FrameHit(strike, 1);
}

// A device fault that is on from its strike to its end.
template <bool sim::usbdevice::ModemFaults::*Flag>
void SwitchedOn(World&, RiggedModem& modem, const Strike&, EventTick tick) {
  if (tick != EventTick::kDuring) (modem.device->faults().*Flag) = tick == EventTick::kStrike;
}

ModemFault Firmware(std::string name, std::string help, void (*apply)(Behaviour&),
                    bool riddenOut = false) {
  ModemFault fault;
  fault.name = std::move(name);
  fault.help = std::move(help);
  fault.apply = apply;
  fault.riddenOut = riddenOut;
  return fault;
}

ModemFault OnUsb(std::string name, std::string help,
                 void (*onUsb)(World&, RiggedModem&, const Strike&, EventTick), Strike defaults,
                 void (*draw)(std::mt19937&, std::size_t, Strike&), bool riddenOut) {
  ModemFault fault;
  fault.name = std::move(name);
  fault.help = "(usb) " + std::move(help);
  fault.onUsb = onUsb;
  fault.defaults = defaults;
  fault.draw = draw;
  fault.riddenOut = riddenOut;
  return fault;
}

ModemFault Allocation(std::string name, std::string help, Phase phase, Strike defaults,
                      void (*draw)(std::mt19937&, std::size_t, Strike&), bool riddenOut) {
  ModemFault fault;
  fault.name = std::move(name);
  fault.help = "(usb) " + std::move(help);
  fault.allocation = phase;
  fault.defaults = defaults;
  fault.draw = draw;
  fault.riddenOut = riddenOut;
  return fault;
}

Strike Run(int count) {
  Strike strike;
  strike.at = kMidTransfer;
  strike.count = count;
  return strike;
}

Strike Lasting(int count, int forMs) {
  Strike strike = Run(count);
  strike.forMs = forMs;
  return strike;
}

Strike Noise(int percent, int forMs) {
  Strike strike = Run(0);
  strike.percent = percent;
  strike.forMs = forMs;
  return strike;
}

Strike Nth(int count, unsigned kinds) {
  Strike strike = Run(count);
  strike.kinds = kinds;
  return strike;
}

std::vector<ModemFault> Catalogue() {
  std::vector<ModemFault> faults = {
      Firmware("no-prompt", "the modem hangs when asked for download mode",
               [](Behaviour& b) { b.downloadAnswer = ""; }),
      Firmware("no-prompt-text", "the modem answers the download request without \">>>\"",
               [](Behaviour& b) { b.downloadAnswer = "OK"; }),
      Firmware("no-zrinit", "no answer to ZRQINIT",
               [](Behaviour& b) { b.zmodem.silentAt = {ZmodemStep::kZrinit}; }),
      Firmware("binary-zrinit", "ZRINIT as a binary header",
               [](Behaviour& b) { b.zmodem.binaryHeaderAt = {ZmodemStep::kZrinit}; }),
      Firmware("uppercase-zrpos", "ZRPOS with uppercase hex digits",
               [](Behaviour& b) { b.zmodem.uppercaseHexAt = {ZmodemStep::kZrpos}; }),
      Firmware("wrong-zrpos", "another header type instead of ZRPOS",
               [](Behaviour& b) { b.zmodem.wrongTypeAt = {ZmodemStep::kZrpos}; }),
      Firmware(
          "zrpos-elsewhere", "ZRPOS names position 1024 (the sender starts at 0 all the same)",
          [](Behaviour& b) { b.zmodem.zrposPosition = 1024; }, true),
      Firmware("no-ack", "no answer to the first data block",
               [](Behaviour& b) {
                 b.zmodem.silentAt = {ZmodemStep::kZack, 1};
               }),
      Firmware("bad-crc-ack", "a bad CRC in the answer to the first data block",
               [](Behaviour& b) {
                 b.zmodem.badCrcAt = {ZmodemStep::kZack, 1};
               }),
      Firmware("flash-error", "the flash check reports ERROR",
               [](Behaviour& b) { b.zmodem.flashCheckFails = true; }),
      Firmware("flash-error-twice", "the flash check reports ERROR for the first two transfers",
               [](Behaviour& b) {
                 b.zmodem.flashCheckFails = true;
                 b.zmodem.faultyTransfers = 2;
               }),
      Firmware("no-final-reply", "nothing after the flash check",
               [](Behaviour& b) { b.zmodem.silentAt = {ZmodemStep::kFinalReply}; }),
      OnUsb(
          "sequence-gaps", "the next n status packets each skip a sequence number (default 20)",
          [](World&, RiggedModem& modem, const Strike& s, EventTick) {
            modem.device->faults().sequenceGaps = s.count;
          },
          Run(20), DrawRun<1, 40>, true),
      OnUsb(
          "zero-sequence", "a run of n status packets without status, sequence 0 (default 8)",
          [](World&, RiggedModem& modem, const Strike& s, EventTick) {
            modem.device->faults().zeroSequenceRun = s.count;
          },
          Run(8), DrawRun<1, 40>, true),
      OnUsb(
          "data-in-errors", "n data-in packets not accessed (0xC000000F) on the bus (default 10)",
          [](World& world, RiggedModem&, const Strike& s, EventTick) {
            world.bus().InjectPacketStatus(kDataIn, USBD_STATUS_NOT_ACCESSED, s.count);
          },
          Run(10), DrawRun<1, 40>, true),
      OnUsb(
          "data-out-errors",
          "n data-out transfers fail with a data error on the bus (default 5); the driver sends "
          "each again",
          [](World& world, RiggedModem&, const Strike& s, EventTick) {
            world.bus().InjectPacketStatus(kDataOut, kPacketMissed, s.count);
            world.bus().InjectTransferStatus(kDataOut, USBD_STATUS_XACT_ERROR, s.count);
          },
          Run(5), DrawRun<1, 20>, true),
      OnUsb(
          "data-in-noise", "p % of the frames lose their data-in packet on the bus, for a while",
          [](World& world, RiggedModem&, const Strike& s, EventTick tick) {
            if (int hits = NoisyFrames(s, tick)) {
              world.bus().InjectPacketStatus(kDataIn, USBD_STATUS_NOT_ACCESSED, hits);
            }
          },
          Noise(20, 300), DrawNoise, true),
      OnUsb(
          "data-out-noise",
          "p % of the frames lose their data-out transfer to a data error on the bus, for a "
          "while",
          [](World& world, RiggedModem&, const Strike& s, EventTick tick) {
            if (int hits = NoisyFrames(s, tick)) {
              world.bus().InjectPacketStatus(kDataOut, kPacketMissed, hits);
              world.bus().InjectTransferStatus(kDataOut, USBD_STATUS_XACT_ERROR, hits);
            }
          },
          Noise(20, 300), DrawNoise, true),
      OnUsb(
          "control-failure", "the next n control transfers fail on the bus (default 1)",
          [](World& world, RiggedModem&, const Strike& s, EventTick) {
            world.bus().InjectTransferStatus(kCommand, USBD_STATUS_XACT_ERROR, s.count);
          },
          Run(1), DrawRun<1, 3>, true),
      OnUsb(
          "oversized-data-in",
          "the next n data-in packets carry a length past the packet; the driver drops them and "
          "the modem keeps their bytes, so nothing is lost (default 4)",
          [](World&, RiggedModem& modem, const Strike& s, EventTick) {
            modem.device->faults().oversizedDataIn = s.count;
          },
          Run(4), DrawRun<1, 30>, true),
      OnUsb("stuck-indication",
            "the indication flag stays set with nothing queued, for `for` ms (0: to the end); "
            "the driver's reads come back empty and data flows on",
            SwitchedOn<&sim::usbdevice::ModemFaults::stuckIndication>, Lasting(0, 0), DrawSwitch,
            true),
      OnUsb("silent-indication",
            "the indication flag is set and the indication read never answered, for `for` ms (0: "
            "to the end); the read waits while data flows on, and the stop cancels it",
            SwitchedOn<&sim::usbdevice::ModemFaults::silentIndication>, Lasting(0, 0), DrawSwitch,
            true),
      OnUsb(
          "forced-tx-level",
          "the modem reports n bytes waiting from the host, whatever it holds, for `for` ms (0: "
          "to the end)",
          [](World&, RiggedModem& modem, const Strike& s, EventTick tick) {
            if (tick == EventTick::kStrike) modem.device->faults().forcedTxLevel = s.count;
            if (tick == EventTick::kEnd) modem.device->faults().forcedTxLevel.reset();
          },
          Lasting(2047, 0), DrawLastingLevel<0, 2047>, false),
      OnUsb(
          "slow-drain",
          "the modem's firmware takes only n host bytes per frame, for `for` ms (0: to the end)",
          [](World&, RiggedModem& modem, const Strike& s, EventTick tick) {
            if (tick != EventTick::kDuring) {
              modem.device->faults().drainPerFrame = tick == EventTick::kStrike ? s.count : 0;
            }
          },
          Lasting(4, 0), DrawLastingLevel<1, 62>, true),
      Allocation("alloc-start",
                 "the n-th allocation of the given kind (pool, request, device, any) while the "
                 "driver adds and starts the modem fails: the start fails cleanly and the modem, "
                 "plugged in again, is updated; or the start goes on without a string it could "
                 "not read, and a modem without its serial number is not presented as its port "
                 "(the sweep draws it for the last modem only, whose port no other follows)",
                 Phase::kStart, Nth(1, pool::kAny), DrawAllocation<24>, false),
      Allocation("alloc-session",
                 "from the strike's moment on, the n-th allocation of the given kind fails; the "
                 "driver rides it out: a data packet that cannot be built leaves its bytes for the "
                 "next, a command or indication read that cannot start stays pending and is "
                 "started again at the next status packet",
                 Phase::kSession, Nth(1, pool::kAny), DrawSessionAllocation, true),
      Allocation("alloc-stop",
                 "the n-th allocation of the given kind while the driver stops the modem after "
                 "the session fails; the stop still frees everything",
                 Phase::kStop, Nth(1, pool::kAny), DrawAllocation<6>, true),
  };
  ModemFault unplug;
  unplug.name = "unplug";
  unplug.help = "(usb) the modem is pulled out at the strike's moment (default: mid-transfer)";
  unplug.action = [](DriverRig& rig, RiggedModem& modem) { rig.PullOut(modem); };
  unplug.defaults = Run(0);
  unplug.draw = DrawMoment;
  faults.push_back(unplug);
  return faults;
}

const std::vector<ModemFault>& Faults() {
  static const std::vector<ModemFault> faults = Catalogue();
  return faults;
}

// ---- Text ---------------------------------------------------------------------------------------

const char* KindText(unsigned kinds) {
  switch (kinds) {
    case pool::kPool:
      return "pool";
    case pool::kRequest:
      return "request";
    case pool::kDevice:
      return "device";
    default:
      return "any";
  }
}

bool ParseKinds(std::string_view text, unsigned& kinds) {
  for (unsigned kind : {pool::kPool, pool::kRequest, pool::kDevice, pool::kAny}) {
    if (text == KindText(kind)) {
      kinds = kind;
      return true;
    }
  }
  return false;
}

template <class T>
bool ParseNumber(std::string_view text, T& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// One parameter into the strike; what is wrong with it otherwise. A negative count or time is
// refused rather than read as none, which would switch the fault off unsaid.
std::string ParseParameter(std::string_view key, std::string_view value, Strike& strike) {
  auto within = [value](int& field, int low, int high, const char* range) -> std::string {
    int number = 0;
    if (!ParseNumber(value, number) || number < low || number > high) {
      return "must be " + std::string(range);
    }
    field = number;
    return {};
  };
  constexpr int kMost = 0x7FFFFFFF;
  if (key == "at") {
    return ParseNumber(value, strike.at) ? "" : "must be a number of bytes, 0 or more";
  }
  if (key == "wait") return within(strike.waitMs, 0, kMost, "a number of ms, 0 or more");
  if (key == "n") return within(strike.count, 0, kMost, "a count, 0 or more");
  if (key == "p") return within(strike.percent, 0, 100, "a percentage from 0 to 100");
  if (key == "for") return within(strike.forMs, 0, kMost, "a number of ms, 0 or more");
  if (key == "kind") {
    return ParseKinds(value, strike.kinds) ? "" : "must be pool, request, device or any";
  }
  return "is no parameter (at, wait, n, p, for, kind)";
}

// "k=v,k=v" over the strike; what is wrong with the first bad item, if one is.
std::string ParseParameters(std::string_view text, Strike& strike) {
  while (!text.empty()) {
    std::string_view item = text.substr(0, text.find(','));
    text.remove_prefix(std::min(text.size(), item.size() + 1));
    auto equals = item.find('=');
    std::string why = equals == std::string_view::npos
                          ? "is not KEY=VALUE"
                          : ParseParameter(item.substr(0, equals), item.substr(equals + 1), strike);
    if (!why.empty()) return "parameter \"" + std::string(item) + "\" " + why;
  }
  return {};
}

// The parameters a fault's strikes differ in, as text.
std::string ParametersText(const ModemFault& fault, const Strike& s) {
  const Strike& d = fault.defaults;
  std::string text;
  auto add = [&text](const std::string& item) { text += (text.empty() ? "" : ",") + item; };
  if (fault.allocation != Phase::kStart && fault.allocation != Phase::kStop) {
    add("at=" + std::to_string(s.at));
    if (s.waitMs != 0) add("wait=" + std::to_string(s.waitMs));
  }
  if (s.count != d.count || fault.allocation != Phase::kNone) add("n=" + std::to_string(s.count));
  if (s.percent != d.percent) add("p=" + std::to_string(s.percent));
  if (s.forMs != d.forMs || d.forMs != 0) add("for=" + std::to_string(s.forMs));
  if (fault.allocation != Phase::kNone) add(std::string("kind=") + KindText(s.kinds));
  return text;
}

void AllocationFailure(const Strike& strike) {
  pool::FailNth(static_cast<std::uint64_t>(strike.count), strike.kinds);
}

}  // namespace

const std::vector<ModemFault>& ModemFaults() {
  return Faults();
}

FaultChoice ParseFaultChoice(const std::string& text) {
  FaultChoice choice;
  std::string head = text.substr(0, text.find(':'));
  std::string name = head.substr(0, head.find('@'));
  auto at = head.find('@');
  if (at != std::string::npos) choice.port = head.substr(at + 1);
  // Port names are the platform's, where case does not count: "com3" is COM3.
  for (char& c : choice.port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const ModemFault* fault = nullptr;
  for (const ModemFault& known : Faults()) {
    if (known.name == name) fault = &known;
  }
  if (fault == nullptr) {
    choice.error = "unknown fault \"" + name + "\"";
    return choice;
  }
  choice.nameKnown = true;
  // An empty port would read as every modem's.
  if (at != std::string::npos && choice.port.empty()) {
    choice.error = name + ": no port after \"@\"";
    return choice;
  }
  choice.strike = fault->defaults;
  if (auto colon = text.find(':'); colon != std::string::npos) {
    std::string why =
        fault->apply != nullptr
            ? "a firmware fault takes no parameters"
            : ParseParameters(std::string_view(text).substr(colon + 1), choice.strike);
    if (!why.empty()) {
      choice.error = name + ": " + why;
      return choice;
    }
  }
  choice.fault = fault;
  return choice;
}

std::string DrawFault(const ModemFault& fault, const std::string& port, std::mt19937& random,
                      std::size_t imageSize) {
  std::string text = fault.name + "@" + port;
  if (fault.draw == nullptr) return text;
  Strike strike = fault.defaults;
  fault.draw(random, imageSize, strike);
  return text + ":" + ParametersText(fault, strike);
}

UsbEvent EventFor(const ModemFault& fault, std::size_t modem, const Strike& strike) {
  UsbEvent event;
  event.modem = modem;
  event.afterBytes = strike.at;
  event.wait = std::chrono::milliseconds(strike.waitMs);
  event.lasts = std::chrono::milliseconds(strike.forMs);
  std::string port = ComNameFor(static_cast<int>(modem));
  if (auto onUsb = fault.onUsb) {
    event.onWorld = [onUsb, strike, port](World& world, DriverRig& rig, EventTick tick) {
      if (RiggedModem* rigged = rig.Find(port)) onUsb(world, *rigged, strike, tick);
    };
  }
  if (auto action = fault.action) {
    event.action = [action, port](World&, DriverRig& rig) {
      if (RiggedModem* rigged = rig.Find(port)) action(rig, *rigged);
    };
  }
  if (fault.allocation == Phase::kSession) {
    event.lasts = {};
    event.onWorld = [strike](World&, DriverRig&, EventTick) { AllocationFailure(strike); };
  }
  return event;
}

UsbEvent EventFor(const ModemFault& fault, std::size_t modem) {
  return EventFor(fault, modem, fault.defaults);
}

void AddFault(UsbUpdate& update, std::size_t modem, const FaultChoice& choice) {
  const ModemFault& fault = *choice.fault;
  Strike strike = choice.strike;
  if (fault.apply != nullptr) fault.apply(update.modems.at(modem).behaviour);
  if (fault.allocation == Phase::kStart) {
    update.beforeStart[modem] = [strike] { AllocationFailure(strike); };
  }
  if (fault.allocation == Phase::kStop) {
    update.beforeStop[modem] = [strike] { AllocationFailure(strike); };
  }
  if (fault.onUsb != nullptr || fault.action != nullptr || fault.allocation == Phase::kSession) {
    update.events.push_back(EventFor(fault, modem, strike));
  }
}

std::string FaultHelp() {
  std::string text;
  for (const ModemFault& fault : Faults()) text += "  " + fault.name + ": " + fault.help + "\n";
  text +=
      "  A fault of the USB side takes parameters after its port: "
      "NAME@PORT:at=BYTES,wait=MS,n=COUNT,p=PERCENT,for=MS,kind=pool|request|device|any (the "
      "moment: once the modem has taken BYTES from the host and MS more have passed).\n";
  return text;
}

}  // namespace mdmsim
