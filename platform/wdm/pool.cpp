// The non-paged pool: tagged blocks with their owners, failure injection, reports.
#include "platform/wdm/pool.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/base/spin_lock.h"
#include "platform/vxd/flat.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/verifier.h"

namespace platform::wdm {
namespace {

constexpr ULONG kUntagged = 0x656E6F4E;  // "None", the platform's tag for ExAllocatePool
constexpr std::align_val_t kAlignment{16};

struct Pool {
  SpinLock mutex;
  std::map<const void*, pool::Block> blocks;
  std::uint64_t sequence = 0;
  std::uint64_t failNth = 0;
  unsigned failKinds = 0;
  unsigned countKinds = pool::kAny;
  std::uint64_t count = 0;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: blocks left at the end stay reachable
  return *pool;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Describe(const pool::Block& block) {
  std::string text = "block #" + std::to_string(block.sequence) + " tag \"" +
                     pool::TagText(block.tag) + "\" " + std::to_string(block.size) + " bytes";
  if (block.device != nullptr)
    text += " for device " + Hex(reinterpret_cast<std::uintptr_t>(block.device));
  return text;
}

void Free(PVOID block, const ULONG* tag) {
  if (block == nullptr) {
    verifier::Report("ExFreePool of a null pointer");
    return;
  }
  SIZE_T size = 0;
  {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    auto it = pool.blocks.find(block);
    if (it == pool.blocks.end()) {
      verifier::Report(
          "ExFreePool of a block that is not allocated (freed twice, or never from "
          "the pool): " +
          Hex(reinterpret_cast<std::uintptr_t>(block)));
      return;
    }
    if (tag != nullptr && *tag != it->second.tag) {
      verifier::Report("ExFreePoolWithTag with tag \"" + pool::TagText(*tag) + "\" frees " +
                       Describe(it->second));
    }
    size = it->second.size;
    pool.blocks.erase(it);
  }
  kernel::DropTimersIn(block, size, "ExFreePool frees");
  vxd::UnmapFlat(block);
  ::operator delete(block, kAlignment);
}

}  // namespace

namespace kernel {

bool AllocationFails(pool::Kind kind) {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  if ((pool.countKinds & kind) != 0) ++pool.count;
  if (pool.failNth == 0 || (pool.failKinds & kind) == 0) return false;
  if (--pool.failNth != 0) return false;
  return true;
}

std::size_t PoolBlocksOf(const DEVICE_OBJECT* device, std::string* list) {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  std::size_t found = 0;
  for (const auto& [address, block] : pool.blocks) {
    if (device != nullptr && block.device != device) continue;
    ++found;
    if (list != nullptr) *list += "\n  " + Describe(block);
  }
  return found;
}

void ForgetPoolDevice(const DEVICE_OBJECT* device) {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  for (auto& [address, block] : pool.blocks) {
    if (block.device == device) block.device = nullptr;
  }
}

}  // namespace kernel

namespace pool {

std::string TagText(ULONG tag) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text[i] = c >= 0x20 && c < 0x7F ? c : '?';
  }
  return text;
}

Report Outstanding() {
  Report report;
  {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    std::map<std::uint64_t, Block> bySequence;
    for (const auto& [address, block] : pool.blocks) bySequence[block.sequence] = block;
    std::map<ULONG, TagTotal> tags;
    for (const auto& [sequence, block] : bySequence) {
      report.blocks.push_back(block);
      TagTotal& total = tags[block.tag];
      total.tag = block.tag;
      ++total.blocks;
      total.bytes += block.size;
    }
    for (const auto& [tag, total] : tags) report.tags.push_back(total);
  }
  report.requests = kernel::RequestsOf(nullptr, nullptr, nullptr);
  return report;
}

std::string FormatReport(const Report& report) {
  std::string text;
  if (report.blocks.empty()) {
    text = "pool: no block outstanding\n";
  } else {
    text = "pool: " + std::to_string(report.blocks.size()) + " block(s) outstanding\n";
    for (const TagTotal& total : report.tags) {
      text += "  tag \"" + TagText(total.tag) + "\": " + std::to_string(total.blocks) +
              " block(s), " + std::to_string(total.bytes) + " bytes\n";
    }
    for (const Block& block : report.blocks) text += "    " + Describe(block) + "\n";
  }
  if (report.requests != 0) {
    text += "requests: " + std::to_string(report.requests) + " allocated and not freed\n";
  }
  return text;
}

void FailNth(std::uint64_t n, unsigned kinds) {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  pool.failNth = n;
  pool.failKinds = kinds;
  pool.countKinds = kinds;
  pool.count = 0;
}

std::uint64_t Count() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  return pool.count;
}

void ResetCount(unsigned kinds) {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  pool.countKinds = kinds;
  pool.count = 0;
}

}  // namespace pool
}  // namespace platform::wdm

using namespace platform::wdm;

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG tag) {
  if (kernel::AllocationFails(pool::kPool)) return nullptr;
  SIZE_T room = size == 0 ? 1 : size;
  void* block = ::operator new(room, kAlignment);
  std::memset(block, 0xCD, room);
  platform::vxd::MapFlat(block, room);
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  pool.blocks[block] = pool::Block{++pool.sequence, tag, size, kernel::Current().device};
  return block;
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size) {
  return ExAllocatePoolWithTag(type, size, kUntagged);
}

void ExFreePool(PVOID block) {
  Free(block, nullptr);
}

void ExFreePoolWithTag(PVOID block, ULONG tag) {
  Free(block, &tag);
}
