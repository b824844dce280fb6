#include "platform/vxd/flat.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <typeindex>

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

struct Space {
  std::mutex mutex;
  std::map<std::uint64_t, Region> byFlat;          // flat base -> region
  std::map<std::uintptr_t, std::uint64_t> byHost;  // host base -> flat base
  std::uint64_t next = kDataFirst;
  std::map<DWORD, Entry> entries;
  std::map<void (*)(), DWORD> entryByFn;
  DWORD nextEntry = kEntryFirst;
};

Space& TheSpace() {
  static Space space;
  return space;
}

[[noreturn]] void Fail(const char* what, const void* p) {
  std::fprintf(stderr, "vxd flat addresses: %s (%p)\n", what, p);
  std::abort();
}

// The region holding host address p (its end included), if any.
const Region* HostRegion(const Space& space, std::uintptr_t p) {
  auto it = space.byHost.upper_bound(p);
  if (it == space.byHost.begin()) return nullptr;
  --it;
  const Region& region = space.byFlat.at(it->second);
  return p <= region.host + region.size ? &region : nullptr;
}

const Region* FlatRegion(const Space& space, std::uint64_t flat) {
  auto it = space.byFlat.upper_bound(flat);
  if (it == space.byFlat.begin()) return nullptr;
  --it;
  return flat < it->second.flat + it->second.size ? &it->second : nullptr;
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
  for (const auto& [flat, region] : space.byFlat) {
    std::uint64_t candidate = aligned(from);
    if (candidate + size + kGap <= flat) return candidate;
    from = flat + region.size + kGap;
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
  auto after = space.byHost.lower_bound(host);
  if (after != space.byHost.end() && after->first < host + size) {
    Fail("region overlaps a mapped region", base);
  }
  if (const Region* before = HostRegion(space, host);
      before != nullptr && host < before->host + before->size) {
    Fail("region overlaps a mapped region", base);
  }
  std::uint64_t flat = Place(space, host, size);
  space.byFlat[flat] = Region{host, size, flat};
  space.byHost[host] = flat;
  return static_cast<DWORD>(flat);
}

void UnmapFlat(const void* base) {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  auto it = space.byHost.find(reinterpret_cast<std::uintptr_t>(base));
  if (it == space.byHost.end()) Fail("unmapping a region that is not mapped", base);
  space.byFlat.erase(it->second);
  space.byHost.erase(it);
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
  DWORD flat = space.nextEntry;
  space.nextEntry += kEntryStep;
  space.entries[flat] = Entry{fn, std::type_index(type)};
  space.entryByFn[fn] = flat;
  return flat;
}

void (*EntryLookup(DWORD flat, const std::type_info& type))() {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  auto it = space.entries.find(flat);
  if (it == space.entries.end() || it->second.type != std::type_index(type)) return nullptr;
  return it->second.fn;
}

std::size_t MappedRegions() {
  Space& space = TheSpace();
  std::lock_guard lock(space.mutex);
  return space.byFlat.size();
}

}  // namespace platform::vxd
