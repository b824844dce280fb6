// A call between two simulated USB modems through the whole driver stack, in virtual time: the
// modems share one telephone line, each behind mdmcore and the serial-port driver as a COM
// port. COM3 dials COM4, COM4 answers on its own, the payload crosses the call (both ways when
// asked), and COM3 escapes with "+++" and hangs up. The world of `mdmsim call`, its tests, the
// call benchmark and the fault sweep's calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/core/devext.h"
#include "platform/win32/windows.h"
#include "sim/modem/firmware.h"

namespace mdmsim {

// A fault of the line, some time after both sides have reported CONNECT: the call drops, or
// noise garbles the bytes on the line for `length` (long enough, it loses the carrier).
struct LineFault {
  enum class Kind { kDrop, kNoise };
  Kind kind = Kind::kDrop;
  std::chrono::milliseconds after{0};
  std::chrono::milliseconds length{0};
};

struct UsbCall {
  std::vector<std::uint8_t> payload;
  bool bothWays = false;  // COM4 sends the payload to COM3 at the same time
  // The modems' flow control towards their hosts (&K), which the hosts' port settings follow.
  sim::modem::Flow flow = sim::modem::Flow::kRtsCts;
  std::uint32_t rate = 33600;  // bit/s of the line
  std::optional<LineFault> fault;
  // Runs on a thread of its own beside the payload's writers and readers, from the moment they
  // start, with the two COM ports' handles: tests steer the hosts' lines from here.
  std::function<void(HANDLE caller, HANDLE called)> alongside;
  std::function<void(std::string_view line)> onLog;  // each line of the log as it happens
};

// One direction of the payload.
struct CallDirection {
  std::uint64_t sent = 0;      // bytes the sending host wrote
  std::uint64_t received = 0;  // payload bytes the receiving host read
  // Every byte arrived once and in order. After a line fault: the bytes up to the end of the
  // call, with those the noise garbled in their places, and after them only the modem's texts.
  bool intact = false;
  double seconds = 0;  // virtual time from the first write to the last payload byte read
  // The throughput as a share of the line rate (ten bits a byte on the line).
  double Share(std::uint32_t rate) const;
};

struct UsbCallResult {
  bool connected = false;  // both sides reported CONNECT with the line's rate
  CallDirection there;     // COM3 to COM4
  CallDirection back;      // COM4 to COM3 (with bothWays)
  bool hungUp = false;     // the call ended with carrier off on both sides, NO CARRIER at COM4
  FlowCounters callerFlow{};
  FlowCounters calledFlow{};
  // Both modems together: host bytes lost to a full transmit buffer, and times their transmit
  // buffer reached the high water mark (flow control stopped the host).
  std::uint64_t overruns = 0;
  std::uint64_t flowStops = 0;
  bool driverStopped = false;  // every modem stopped and removed, the driver unloaded cleanly
  std::string poolReport;      // the driver's pool after that
  std::int64_t virtualMs = 0;
  // True when the call connected, every direction is intact, no host byte was lost to a full
  // transmit buffer, the call ended, the driver stopped cleanly and no pool block is left.
  bool AllGood() const;
};

// Runs the call on a virtual clock of its own, in the current platform root.
UsbCallResult RunUsbCall(const UsbCall& call);

// `size` bytes of a pseudo-random stream drawn from `seed`, without XON and XOFF (flow control,
// not data, under software flow control).
std::vector<std::uint8_t> CallPayload(std::size_t size, unsigned seed);

// A kind of flow control a call can use: the modem's command for it, the word that names it
// on mdmsim's command line, and its name in reports.
struct FlowKind {
  sim::modem::Flow flow;
  const char* command;  // "&K3"
  const char* option;   // "rtscts"
  const char* name;     // "RTS/CTS"
};
// Every kind, in the order of their &K numbers.
std::span<const FlowKind> FlowKinds();
const FlowKind& KindOf(sim::modem::Flow flow);

// "Offline", "OnlineNone", ... for the flow-control tables' rows.
const char* FlowStateName(ULONG state);

}  // namespace mdmsim
