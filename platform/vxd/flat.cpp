#include "platform/vxd/flat.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <typeindex>
#include <vector>

#include "platform/base/spin_lock.h"

namespace platform::vxd {
namespace {

// Data regions live in the system arena; code addresses below it, apart, so that a data address
// can never be taken for an entry point or the other way round.
constexpr std::uint64_t kDataFirst = 0xC1000000u;
constexpr std::uint64_t kDataEnd = 0xFFFF0000u;
constexpr std::uint64_t kGap = 16;
constexpr DWORD kEntryFirst = 0x80010000u;
constexpr DWORD kEntryStep = 16;

struct Region {
  std::uintptr_t host = 0;
  std::size_t size = 0;
  std::uint64_t flat = 0;
};

struct Entry {
  void (*fn)() = nullptr;
  std::type_index type = typeid(void);
};

// Regions in two sorted vectors, one by host address and one by flat address: lookups are binary
// searches, and mapping a record for the length of a call (the newest region, at the end of
// both orders most of the time) moves nothing and allocates nothing.
struct Space {
  SpinLock mutex;
  std::vector<Region> byHost;
  std::vector<Region> byFlat;
  std::uint64_t next = kDataFirst;
  std::vector<Entry> entries;  // by (flat - kEntryFirst) / kEntryStep
  std::map<void (*)(), DWORD> entryByFn;
};

Space& TheSpace() {
  static Space space;
  return space;
}

[[noreturn]] void Fail(const char* what, const void* p) {
  std::fprintf(stderr, "vxd flat addresses: %s (%p)\n", what, p);
  std::abort();
}

// The last region of `regions` (sorted by `key`) whose key is at most `at`, or end.
template <auto Key>
std::vector<Region>::const_iterator AtOrBefore(const std::vector<Region>& regions,
                                               std::uint64_t at) {
  auto it = std::upper_bound(regions.begin(), regions.end(), at,
                             [](std::uint64_t value, const Region& r) { return value < r.*Key; });
  return it == regions.begin() ? regions.end() : it - 1;
}

// The region holding host address p (its end included), if any.
const Region* HostRegion(const Space& space, std::uintptr_t p) {
  auto it = AtOrBefore<&Region::host>(space.byHost, p);
  if (it == space.byHost.end()) return nullptr;
  return p <= it->host + it->size ? &*it : nullptr;
}

const Region* FlatRegion(const Space& space, std::uint64_t flat) {
  auto it = AtOrBefore<&Region::flat>(space.byFlat, flat);
  if (it == space.byFlat.end()) return nullptr;
  return flat < it->flat + it->size ? &*it : nullptr;
}

template <auto Key>
void Insert(std::vector<Region>& regions, const Region& region) {
  auto it = std::upper_bound(regions.begin(), regions.end(), region.*Key,
                             [](std::uint64_t value, const Region& r) { return value < r.*Key; });
  regions.insert(it, region);
}

template <auto Key>
void Erase(std::vector<Region>& regions, std::uint64_t at) {
  auto it = std::lower_bound(regions.begin(), regions.end(), at,
                             [](const Region& r, std::uint64_t value) { return r.*Key < value; });
  regions.erase(it);
}

// A free flat range of `size` bytes whose start is congruent to `host` modulo 16, with a gap on
// both sides. The cursor only moves forward; once it reaches the end, gaps left by unmapped
// regions are searched from the start.
std::uint64_t Place(Space& space, std::uintptr_t host, std::size_t size) {
  auto aligned = [host](std::uint64_t at) { return (at + 15) / 16 * 16 + (host % 16); };
  std::uint64_t at = aligned(space.next);
  if (at + size + kGap <= kDataEnd) {
    space.next = at + size + kGap;
    return at;
  }
  std::uint64_t from = kDataFirst;
  for (const Region& region : space.byFlat) {
    std::uint64_t candidate = aligned(from);
    if (candidate + size + kGap <= region.flat) return candidate;
    from = region.flat + region.size + kGap;
  }
  std::uint64_t candidate = aligned(from);
  if (candidate + size + kGap <= kDataEnd) return candidate;
  Fail("the 32-bit flat address space is exhausted", reinterpret_cast<const void*>(host));
}

}  // namespace

DWORD MapFlat(const void* base, std::size_t size) {
  if (base == nullptr) Fail("cannot map a null pointer", base);
  if (size == 0) size = 1;
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  auto host = reinterpret_cast<std::uintptr_t>(base);
  // The new region must neither start inside nor contain an existing one.
  auto after =
      std::lower_bound(space.byHost.begin(), space.byHost.end(), host,
                       [](const Region& r, std::uintptr_t value) { return r.host < value; });
  if (after != space.byHost.end() && after->host < host + size) {
    Fail("region overlaps a mapped region", base);
  }
  if (const Region* before = HostRegion(space, host);
      before != nullptr && host < before->host + before->size) {
    Fail("region overlaps a mapped region", base);
  }
  Region region{host, size, Place(space, host, size)};
  Insert<&Region::host>(space.byHost, region);
  Insert<&Region::flat>(space.byFlat, region);
  return static_cast<DWORD>(region.flat);
}

void UnmapFlat(const void* base) {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  auto host = reinterpret_cast<std::uintptr_t>(base);
  auto it = AtOrBefore<&Region::host>(space.byHost, host);
  if (it == space.byHost.end() || it->host != host) {
    Fail("unmapping a region that is not mapped", base);
  }
  std::uint64_t flat = it->flat;
  space.byHost.erase(it);
  Erase<&Region::flat>(space.byFlat, flat);
}

DWORD ToFlat(const void* p) {
  if (p == nullptr) return 0;
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  auto host = reinterpret_cast<std::uintptr_t>(p);
  const Region* region = HostRegion(space, host);
  if (region == nullptr) Fail("an address that was never mapped has no flat address", p);
  return static_cast<DWORD>(region->flat + (host - region->host));
}

void* FromFlat(DWORD flat, std::size_t size) {
  if (flat == 0) return nullptr;
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  const Region* region = FlatRegion(space, flat);
  if (region == nullptr) return nullptr;
  std::uint64_t offset = flat - region->flat;
  if (size > region->size - offset) return nullptr;
  return reinterpret_cast<void*>(region->host + offset);
}

std::size_t FlatRoom(DWORD flat) {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  const Region* region = FlatRegion(space, flat);
  return region == nullptr ? 0 : region->size - (flat - region->flat);
}

DWORD EntryAddress(void (*fn)(), const std::type_info& type) {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  if (auto it = space.entryByFn.find(fn); it != space.entryByFn.end()) return it->second;
  auto flat = static_cast<DWORD>(kEntryFirst + space.entries.size() * kEntryStep);
  space.entries.push_back(Entry{fn, std::type_index(type)});
  space.entryByFn[fn] = flat;
  return flat;
}

void (*EntryLookup(DWORD flat, const std::type_info& type))() {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  if (flat < kEntryFirst || (flat - kEntryFirst) % kEntryStep != 0) return nullptr;
  std::size_t index = (flat - kEntryFirst) / kEntryStep;
  if (index >= space.entries.size() || space.entries[index].type != std::type_index(type)) {
    return nullptr;
  }
  return space.entries[index].fn;
}

std::size_t MappedRegions() {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  return space.byFlat.size();
}

}  // namespace platform::vxd
