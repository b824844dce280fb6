// Accounting of the non-paged pool and of request packets: which blocks are outstanding, by tag,
// and injected failures of the n-th allocation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wdm/wdm.h"

namespace platform::wdm::pool {

struct Block {
  std::uint64_t sequence = 0;  // allocation number since the process began
  ULONG tag = 0;
  SIZE_T size = 0;
  const DEVICE_OBJECT* device = nullptr;  // the device on whose behalf it was allocated, if any
};

struct TagTotal {
  ULONG tag = 0;
  std::size_t blocks = 0;
  SIZE_T bytes = 0;
};

struct Report {
  std::vector<Block> blocks;   // outstanding, oldest first
  std::vector<TagTotal> tags;  // per tag, outstanding
  std::size_t requests = 0;    // request packets allocated by drivers and not yet freed
};

Report Outstanding();
// "pool: no block outstanding\n", or one line per tag and per block.
std::string FormatReport(const Report& report);
// The tag as its four characters ("Wdm ").
std::string TagText(ULONG tag);

// Allocations counted from now on: pool blocks, request packets and device objects.
enum Kind : unsigned { kPool = 1, kRequest = 2, kDevice = 4, kAny = 7 };
// Makes the n-th allocation of the given kinds from now (1 = the next one) fail; 0 cancels.
void FailNth(std::uint64_t n, unsigned kinds = kAny);
// How many allocations of the given kinds were made since the last FailNth or ResetCount.
std::uint64_t Count();
void ResetCount(unsigned kinds = kAny);

}  // namespace platform::wdm::pool
