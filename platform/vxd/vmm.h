// The virtual machine manager's services the driver uses: device descriptor blocks with their
// registration, lookup and control messages, and the system heap.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/types.h"

#pragma pack(push, 1)
struct VxD_Desc_Block {
  ULONG DDB_Next;
  USHORT DDB_SDK_Version;
  USHORT DDB_Req_Device_Number;
  UCHAR DDB_Dev_Major_Version;
  UCHAR DDB_Dev_Minor_Version;
  USHORT DDB_Flags;
  UCHAR DDB_Name[8];  // blank-padded
  ULONG DDB_Init_Order;
  ULONG DDB_Control_Proc;  // flat code address of a platform::vxd::ControlProc
  ULONG DDB_V86_API_Proc;
  ULONG DDB_PM_API_Proc;
  ULONG DDB_V86_API_CSIP;
  ULONG DDB_PM_API_CSIP;
  ULONG DDB_Reference_Data;
  ULONG DDB_Service_Table_Ptr;
  ULONG DDB_Service_Table_Size;
  ULONG DDB_Win32_Service_Table;
  ULONG DDB_Prev;
  ULONG DDB_Size;
  ULONG DDB_Reserved1;
  ULONG DDB_Reserved2;
  ULONG DDB_Reserved3;
};
#pragma pack(pop)
static_assert(sizeof(VxD_Desc_Block) == 80);

constexpr USHORT DDK_VERSION = 0x0400;
constexpr USHORT UNDEFINED_DEVICE_ID = 0;
constexpr ULONG UNDEFINED_INIT_ORDER = 0x80000000u;
constexpr ULONG DDB_PREV_INITIAL = 0x50726576u;  // "Prev"
constexpr ULONG DDB_RESERVED1_INITIAL = 0x52737631u;
constexpr ULONG DDB_RESERVED2_INITIAL = 0x52737632u;
constexpr ULONG DDB_RESERVED3_INITIAL = 0x52737633u;

constexpr USHORT VMM_DEVICE_ID = 0x0001;
constexpr USHORT SHELL_DEVICE_ID = 0x0017;
constexpr USHORT CONFIGMG_DEVICE_ID = 0x0033;

namespace platform::vxd {

// The registers of a control-procedure call: message in EAX, parameter in EDX; the procedure
// reports failure by setting the carry flag.
struct Registers {
  DWORD eax = 0;
  DWORD ebx = 0;
  DWORD ecx = 0;
  DWORD edx = 0;
  DWORD esi = 0;
  DWORD edi = 0;
  bool carry = false;
};
using ControlProc = void (*)(Registers& registers);

// Sends a control message to the device registered under the 8-character name (blank-padded).
// Returns the carry flag (true: failed, or no such device).
bool SendControlMessage(std::string_view name, DWORD message, DWORD edx);

// Puts the system back as it starts: only the system's own devices (VMM, SHELL, CONFIGMG)
// registered, the heap's failure injection cleared, the configuration manager's tree empty but
// for its root, no program started.
void ResetSystem();

// Heap accounting.
std::size_t HeapBlocksOutstanding();
// Makes the n-th heap allocation from now fail (0 cancels).
void FailHeapAllocation(std::uint64_t n);

}  // namespace platform::vxd

// Add_DDB: registers a device; non-zero on success, 0 when its name or device number is taken.
DWORD Add_DDB(VxD_Desc_Block* ddb);
DWORD Remove_DDB(VxD_Desc_Block* ddb);
// Get_DDB: by device number when it is not 0, else by the 8-character name. Null when none.
VxD_Desc_Block* Get_DDB(USHORT deviceId, const char* name);
// Directed_Sys_Control: delivers a control message to one device; returns the carry flag.
BOOL Directed_Sys_Control(VxD_Desc_Block* ddb, DWORD message, DWORD ebx, DWORD edx, DWORD esi,
                          DWORD edi);

constexpr ULONG HEAPZEROINIT = 0x00000001;
// A block from the system heap (flat-mapped), or null.
PVOID _HeapAllocate(ULONG bytes, ULONG flags);
ULONG _HeapFree(PVOID block, ULONG flags);
