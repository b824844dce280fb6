// A digest of what happened in a run: every bus, request and COM-port event folds its time on
// the current clock, its kind and a value into one FNV-1a hash (over 64-bit words). Two runs of one
// scenario give the same digest exactly when they saw the same events at the same times in the same
// order, which is what makes a run reproducible to the byte.
//
// Recording is off until a run starts a digest (Start), so that runs that do not ask for one
// (sweeps, benches) pay one relaxed load per event. When the environment variable MDM_TRACE_LOG
// names a file, every event is also written there as a line (time in ns, kind, value in hex):
// two runs whose digests differ show where with a diff of their files.
#pragma once

#include <cstdint>

namespace platform::trace {

enum class Event : std::uint8_t {
  kTransferDone = 1,  // the host controller completed a transfer: endpoint, status, length
  kRequestCall,       // a request went down to a driver: major and minor function
  kRequestDone,       // a request completed: its status
  kComRead,           // a COM-port read completed: bytes
  kComWrite,          // a COM-port write completed: bytes
};

void Record(Event event, std::uint64_t value);

struct Digest {
  std::uint64_t hash;
  std::uint64_t events;
};
Digest Current();
// Starts a new digest and records from now on (each run of a scenario that reports its digest
// starts one).
void Start();

}  // namespace platform::trace
