// The seeded fault sweep: short updates through the driver stack whose modems, image and faults
// are drawn from a seed, each checked for what must hold whatever the faults did. A seed names
// its run completely, so `mdmsim update --seed N` replays it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

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

// Runs the drawn runs of seeds first .. first + count - 1, each in a fresh platform root under
// the current one; returns the failing seeds with their problems, one line each.
std::vector<std::string> Sweep(unsigned first, unsigned count);

}  // namespace mdmsim
