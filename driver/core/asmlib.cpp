#include "driver/core/asmlib.h"

ULONG ASMLIB_IsService_present(const char* name) {
  return Get_DDB(UNDEFINED_DEVICE_ID, name) != nullptr ? 1 : 0;
}

ULONG ASMLIB_SHELL_Execute(SHEXPACKET* packet) {
  return _SHELL_ShellExecute(packet);
}

CONFIGRET gwCONFIGMG_Locate_DevNode(PDEVNODE devNode, DEVNODEID deviceId, ULONG flags) {
  return CONFIGMG_Locate_DevNode(devNode, deviceId, flags);
}

CONFIGRET gwCONFIGMG_Get_Child(PDEVNODE child, DEVNODE devNode, ULONG flags) {
  return CONFIGMG_Get_Child(child, devNode, flags);
}

CONFIGRET gwCONFIGMG_Get_Device_ID(DEVNODE devNode, PVOID buffer, ULONG length, ULONG flags) {
  return CONFIGMG_Get_Device_ID(devNode, buffer, length, flags);
}

CONFIGRET gwCONFIGMG_Create_DevNode(PDEVNODE devNode, DEVNODEID deviceId, DEVNODE parent,
                                    ULONG flags) {
  return CONFIGMG_Create_DevNode(devNode, deviceId, parent, flags);
}

CONFIGRET gwCONFIGMG_Register_Enumerator(DEVNODE devNode, CMENUMHANDLER handler, ULONG flags) {
  return CONFIGMG_Register_Enumerator(devNode, handler, flags);
}

CONFIGRET gwCONFIGMG_Read_Registry_Value(DEVNODE devNode, const char* subKey, const char* valueName,
                                         ULONG type, PVOID buffer, PULONG length, ULONG flags) {
  return CONFIGMG_Read_Registry_Value(devNode, subKey, valueName, type, buffer, length, flags);
}

CONFIGRET gwCONFIGMG_Write_Registry_Value(DEVNODE devNode, const char* subKey,
                                          const char* valueName, ULONG type, PVOID buffer,
                                          ULONG length, ULONG flags) {
  return CONFIGMG_Write_Registry_Value(devNode, subKey, valueName, type, buffer, length, flags);
}

VMMREGRET gwRegOpenKey(VMMHKEY key, const char* subKey, PVMMHKEY result) {
  return _RegOpenKey(key, subKey, result);
}

VMMREGRET gwRegCloseKey(VMMHKEY key) {
  return _RegCloseKey(key);
}

VMMREGRET gwRegEnumKey(VMMHKEY key, DWORD index, char* name, DWORD nameSize) {
  return _RegEnumKey(key, index, name, nameSize);
}

VMMREGRET gwRegEnumValue(VMMHKEY key, DWORD index, char* valueName, PDWORD valueNameSize,
                         PDWORD reserved, PDWORD type, PBYTE data, PDWORD dataSize) {
  return _RegEnumValue(key, index, valueName, valueNameSize, reserved, type, data, dataSize);
}

VMMREGRET gwRegQueryValueEx(VMMHKEY key, const char* valueName, PDWORD reserved, PDWORD type,
                            PBYTE data, PDWORD dataSize) {
  return _RegQueryValueEx(key, valueName, reserved, type, data, dataSize);
}

VMMREGRET gwRegSetValueEx(VMMHKEY key, const char* valueName, DWORD reserved, DWORD type,
                          const BYTE* data, DWORD dataSize) {
  return _RegSetValueEx(key, valueName, reserved, type, data, dataSize);
}

PVOID gwHeapAllocate(ULONG bytes, ULONG flags) {
  return _HeapAllocate(bytes, flags);
}

ULONG gwHeapFree(PVOID block, ULONG flags) {
  return _HeapFree(block, flags);
}
