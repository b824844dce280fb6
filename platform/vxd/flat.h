// 32-bit flat addresses.
//
// On the platform every kernel address is a 32-bit flat address, and records that travel between
// the driver, the USB stack and the serial-port driver keep addresses in 32-bit fields (URB
// transfer buffers, the unit name and callback entry of a port record, a packet's count byte).
// On a 64-bit host a pointer does not fit there, so memory that such a field may name is mapped
// here first: pool blocks and device extensions are mapped when they are made, records built on
// a stack for the length of a call through FlatScope. A field then holds the flat address this
// layer hands out, and whoever reads the field resolves it back here, with a bound check.
//
// Code addresses (control procedures, callbacks) are handed out the same way for functions.
#pragma once

#include <cstddef>
#include <typeinfo>

#include "platform/base/types.h"

namespace platform::vxd {

// Makes [base, base + size) reachable by flat address until UnmapFlat(base) and returns the flat
// address of base. Regions must not overlap; a size of 0 counts as 1. Flat addresses keep the
// host address's alignment up to 16 bytes, and regions never touch, so an address one past the
// end of a region belongs to no other region.
DWORD MapFlat(const void* base, std::size_t size);
void UnmapFlat(const void* base);

// The flat address of p, which lies inside a mapped region or just past its end. A null pointer
// gives 0. An address that was never mapped is a fault of the caller: reported, and the process
// stops.
DWORD ToFlat(const void* p);

// The host address of [flat, flat + size) when all of it lies inside one mapped region; null
// otherwise (also for flat address 0), so a record can never make anyone touch memory outside
// what was mapped.
void* FromFlat(DWORD flat, std::size_t size);
template <class T>
T* FromFlat(DWORD flat) {
  return static_cast<T*>(FromFlat(flat, sizeof(T)));
}

// How many bytes of the region remain from flat on; 0 when flat lies in no region.
std::size_t FlatRoom(DWORD flat);

// Code addresses: the same function always gets the same address. EntryFromFlat gives null for
// an address that names no function of type F.
DWORD EntryAddress(void (*fn)(), const std::type_info& type);
void (*EntryLookup(DWORD flat, const std::type_info& type))();

template <class F>
DWORD EntryToFlat(F* fn) {
  if (fn == nullptr) return 0;
  return EntryAddress(reinterpret_cast<void (*)()>(fn), typeid(F));
}
template <class F>
F* EntryFromFlat(DWORD flat) {
  return reinterpret_cast<F*>(EntryLookup(flat, typeid(F)));
}

// Maps one object (a record built on the stack) for the lifetime of the scope.
class FlatScope {
 public:
  FlatScope(const void* base, std::size_t size) : base_(base), flat_(MapFlat(base, size)) {}
  template <class T>
  explicit FlatScope(const T& object) : FlatScope(&object, sizeof(T)) {}
  ~FlatScope() { UnmapFlat(base_); }
  FlatScope(const FlatScope&) = delete;
  FlatScope& operator=(const FlatScope&) = delete;
  DWORD flat() const { return flat_; }

 private:
  const void* base_;
  DWORD flat_;
};

// How many regions are mapped (tests look for leaks of mappings).
std::size_t MappedRegions();

}  // namespace platform::vxd
