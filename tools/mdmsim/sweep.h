// The seeded fault sweep: short updates and calls through the driver stack whose modems, image,
// calls and faults are drawn from a seed, each checked for what must hold whatever the faults
// did. A seed names its runs completely, so `mdmsim update --seed N` and `mdmsim call --seed N`
// replay them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/mdmsim/call.h"
#include "tools/mdmsim/usb_update.h"

namespace mdmsim {

struct DrawnRun {
  unsigned seed = 0;
  int modems = 1;                   // COM3 and on
  std::size_t imageSize = 0;        // a few KiB
  std::vector<std::string> faults;  // "NAME@PORT"
  std::string Describe() const;
};

DrawnRun DrawRun(unsigned seed);

// How many of the seeds first .. first + count - 1 drew each fault (by name, on any modem), for
// every fault there is, in the catalogue's order.
std::vector<std::pair<std::string, unsigned>> FaultCoverage(unsigned first, unsigned count);

// Writes the run's image (drawn from its seed) to `path`.
void WriteDrawnImage(const DrawnRun& run, const std::string& path);

// The update of `modems` modems (COM3 and on) with the faults "NAME" or "NAME@PORT": firmware
// faults in their behaviour, faults of the USB side as events.
UsbUpdate UpdateWithFaults(int modems, const std::vector<std::string>& faults);

// Runs the update in the current platform root and returns what went wrong, empty when every
// check holds: each modem offered an image holds it or the log does not claim it does, a modem
// whose faults the driver must ride out holds it, every byte handed to the driver reached its
// modem once and in order (unless the modem was pulled out), every request was completed once,
// the driver freed every block and stopped, no thread was left behind, and the session ended
// within the bound of its waits.
std::vector<std::string> RunChecked(const UsbUpdate& update, const std::vector<std::string>& faults,
                                    UsbUpdateResult* outcome = nullptr);

// A seed's call between two modems through the driver stack: the flow control, a payload of
// a few KiB one way or both, the line's rate, and a fault of the line or none.
struct DrawnCall {
  unsigned seed = 0;
  sim::modem::Flow flow = sim::modem::Flow::kRtsCts;
  std::size_t payloadSize = 0;
  bool bothWays = false;
  std::uint32_t rate = 33600;
  std::optional<LineFault> fault;
  std::string Describe() const;
};

DrawnCall DrawCall(unsigned seed);
// Every second seed of the sweep places a call as well: a call costs about twice an update's
// wall time, and half of them keep the sweep's pace while covering the calls' draws.
inline bool PlacesACall(unsigned seed) {
  return seed % 2 == 0;
}
UsbCall CallOf(const DrawnCall& drawn);

// Runs the call in the current platform root and returns what went wrong, empty when every
// check holds: the call connected, each side has the other's bytes once and in order (up to
// the end of the call after a line fault), no host byte was lost to a full transmit buffer, the
// call ended on both sides, and the driver kept the rules, completed every request, freed every
// block and stopped, with no thread left behind.
std::vector<std::string> RunCheckedCall(const UsbCall& call);

// Runs the drawn update (and call) of seeds first .. first + count - 1, each in a fresh platform
// root under the current one; returns the failing seeds with their problems, one line each.
std::vector<std::string> Sweep(unsigned first, unsigned count);

}  // namespace mdmsim
