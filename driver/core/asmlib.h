// The driver's stubs for the system services of the virtual-device layer: each issues one
// service call and returns its result.
#pragma once

#include "platform/vxd/configmg.h"
#include "platform/vxd/shell.h"
#include "platform/vxd/vmm.h"
#include "platform/vxd/vmmreg.h"

// Non-zero when a virtual device of the 8-character name is loaded.
ULONG ASMLIB_IsService_present(const char* name);
ULONG ASMLIB_SHELL_Execute(SHEXPACKET* packet);

CONFIGRET gwCONFIGMG_Locate_DevNode(PDEVNODE devNode, DEVNODEID deviceId, ULONG flags);
CONFIGRET gwCONFIGMG_Get_Child(PDEVNODE child, DEVNODE devNode, ULONG flags);
CONFIGRET gwCONFIGMG_Get_Device_ID(DEVNODE devNode, PVOID buffer, ULONG length, ULONG flags);
CONFIGRET gwCONFIGMG_Create_DevNode(PDEVNODE devNode, DEVNODEID deviceId, DEVNODE parent,
                                    ULONG flags);
CONFIGRET gwCONFIGMG_Register_Enumerator(DEVNODE devNode, CMENUMHANDLER handler, ULONG flags);
CONFIGRET gwCONFIGMG_Read_Registry_Value(DEVNODE devNode, const char* subKey, const char* valueName,
                                         ULONG type, PVOID buffer, PULONG length, ULONG flags);
CONFIGRET gwCONFIGMG_Write_Registry_Value(DEVNODE devNode, const char* subKey,
                                          const char* valueName, ULONG type, PVOID buffer,
                                          ULONG length, ULONG flags);

VMMREGRET gwRegOpenKey(VMMHKEY key, const char* subKey, PVMMHKEY result);
VMMREGRET gwRegCloseKey(VMMHKEY key);
VMMREGRET gwRegEnumKey(VMMHKEY key, DWORD index, char* name, DWORD nameSize);
VMMREGRET gwRegEnumValue(VMMHKEY key, DWORD index, char* valueName, PDWORD valueNameSize,
                         PDWORD reserved, PDWORD type, PBYTE data, PDWORD dataSize);
VMMREGRET gwRegQueryValueEx(VMMHKEY key, const char* valueName, PDWORD reserved, PDWORD type,
                            PBYTE data, PDWORD dataSize);
VMMREGRET gwRegSetValueEx(VMMHKEY key, const char* valueName, DWORD reserved, DWORD type,
                          const BYTE* data, DWORD dataSize);

PVOID gwHeapAllocate(ULONG bytes, ULONG flags);
ULONG gwHeapFree(PVOID block, ULONG flags);
