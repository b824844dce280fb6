#include "platform/vxd/vmm.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/registry/store.h"
#include "platform/vxd/configmg.h"
#include "platform/vxd/flat.h"
#include "platform/vxd/shell.h"

namespace platform::vxd {
namespace {

struct System {
  std::mutex mutex;
  std::vector<VxD_Desc_Block*> devices;
  std::vector<std::unique_ptr<VxD_Desc_Block>> own;  // the system's own devices
  std::map<PVOID, ULONG> heap;
  std::uint64_t failHeap = 0;
};

void NoControl(Registers& registers) {
  registers.carry = false;
}

std::unique_ptr<VxD_Desc_Block> SystemDevice(USHORT id, const char* name) {
  auto ddb = std::make_unique<VxD_Desc_Block>();
  std::memset(ddb.get(), 0, sizeof(VxD_Desc_Block));
  ddb->DDB_SDK_Version = DDK_VERSION;
  ddb->DDB_Req_Device_Number = id;
  std::memcpy(ddb->DDB_Name, name, 8);
  ddb->DDB_Control_Proc = EntryToFlat(&NoControl);
  ddb->DDB_Size = sizeof(VxD_Desc_Block);
  return ddb;
}

void Populate(System& system) {
  system.devices.clear();
  system.own.clear();
  system.own.push_back(SystemDevice(VMM_DEVICE_ID, "VMM     "));
  system.own.push_back(SystemDevice(SHELL_DEVICE_ID, "SHELL   "));
  system.own.push_back(SystemDevice(CONFIGMG_DEVICE_ID, "CONFIGMG"));
  for (auto& ddb : system.own) system.devices.push_back(ddb.get());
}

System& TheSystem() {
  static System* system = [] {
    auto* made = new System;
    Populate(*made);
    return made;
  }();
  return *system;
}

bool SameName(const VxD_Desc_Block* ddb, const char* name) {
  return std::memcmp(ddb->DDB_Name, name, 8) == 0;
}

VxD_Desc_Block* FindLocked(System& system, USHORT id, const char* name) {
  for (VxD_Desc_Block* ddb : system.devices) {
    if (id != 0 ? ddb->DDB_Req_Device_Number == id : SameName(ddb, name)) return ddb;
  }
  return nullptr;
}

}  // namespace

bool SendControlMessage(std::string_view name, DWORD message, DWORD edx) {
  char padded[8];
  std::memset(padded, ' ', 8);
  std::memcpy(padded, name.data(), name.size() < 8 ? name.size() : 8);
  VxD_Desc_Block* ddb = Get_DDB(0, padded);
  if (ddb == nullptr) return true;
  return Directed_Sys_Control(ddb, message, 0, edx, 0, 0) != FALSE;
}

void ResetSystem() {
  {
    System& system = TheSystem();
    std::lock_guard lock(system.mutex);
    Populate(system);
    system.failHeap = 0;
  }
  configmg::Reset();
  shell::ClearLaunches();
  // The keys the system itself keeps, which drivers open but never create.
  for (const char* key :
       {"HKEY_LOCAL_MACHINE\\Enum", "HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm",
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"}) {
    platform::registry::Default().CreateKey(key);
  }
}

std::size_t HeapBlocksOutstanding() {
  System& system = TheSystem();
  std::lock_guard lock(system.mutex);
  return system.heap.size();
}

void FailHeapAllocation(std::uint64_t n) {
  System& system = TheSystem();
  std::lock_guard lock(system.mutex);
  system.failHeap = n;
}

}  // namespace platform::vxd

using namespace platform::vxd;

DWORD Add_DDB(VxD_Desc_Block* ddb) {
  System& system = TheSystem();
  std::lock_guard lock(system.mutex);
  for (VxD_Desc_Block* present : system.devices) {
    if (present == ddb || SameName(present, reinterpret_cast<const char*>(ddb->DDB_Name)) ||
        (ddb->DDB_Req_Device_Number != UNDEFINED_DEVICE_ID &&
         present->DDB_Req_Device_Number == ddb->DDB_Req_Device_Number)) {
      return 0;
    }
  }
  system.devices.push_back(ddb);
  return 1;
}

DWORD Remove_DDB(VxD_Desc_Block* ddb) {
  System& system = TheSystem();
  std::lock_guard lock(system.mutex);
  return std::erase(system.devices, ddb) != 0 ? 1 : 0;
}

VxD_Desc_Block* Get_DDB(USHORT deviceId, const char* name) {
  System& system = TheSystem();
  std::lock_guard lock(system.mutex);
  return FindLocked(system, deviceId, name);
}

BOOL Directed_Sys_Control(VxD_Desc_Block* ddb, DWORD message, DWORD ebx, DWORD edx, DWORD esi,
                          DWORD edi) {
  ControlProc proc = EntryFromFlat<void(Registers&)>(ddb->DDB_Control_Proc);
  if (proc == nullptr) return TRUE;
  Registers registers{message, ebx, 0, edx, esi, edi, false};
  proc(registers);
  return registers.carry ? TRUE : FALSE;
}

PVOID _HeapAllocate(ULONG bytes, ULONG flags) {
  System& system = TheSystem();
  {
    std::lock_guard lock(system.mutex);
    if (system.failHeap != 0 && --system.failHeap == 0) return nullptr;
  }
  ULONG room = bytes == 0 ? 1 : bytes;
  void* block = ::operator new (room, std::align_val_t{16});
  std::memset(block, (flags & HEAPZEROINIT) != 0 ? 0 : 0xCD, room);
  MapFlat(block, room);
  std::lock_guard lock(system.mutex);
  system.heap[block] = room;
  return block;
}

ULONG _HeapFree(PVOID block, ULONG) {
  System& system = TheSystem();
  {
    std::lock_guard lock(system.mutex);
    if (system.heap.erase(block) == 0) return 0;
  }
  UnmapFlat(block);
  ::operator delete (block, std::align_val_t{16});
  return 1;
}
