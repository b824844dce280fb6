// The virtual machine manager's registry services, over the registry store. This header and the
// Win32 windows.h name the same things (HKEY_LOCAL_MACHINE, ERROR_SUCCESS) and do not meet in one
// translation unit: one serves the kernel side, the other programs.
#pragma once

#include "platform/base/types.h"

#ifdef HKEY_LOCAL_MACHINE
#error "vmmreg.h serves the kernel side and does not mix with windows.h"
#endif

using VMMHKEY = DWORD;
using PVMMHKEY = VMMHKEY*;
using VMMREGRET = LONG;

#define HKEY_CLASSES_ROOT (static_cast<VMMHKEY>(0x80000000u))
#define HKEY_CURRENT_USER (static_cast<VMMHKEY>(0x80000001u))
#define HKEY_LOCAL_MACHINE (static_cast<VMMHKEY>(0x80000002u))
#define HKEY_USERS (static_cast<VMMHKEY>(0x80000003u))

constexpr VMMREGRET ERROR_SUCCESS = 0;
constexpr VMMREGRET ERROR_FILE_NOT_FOUND = 2;
constexpr VMMREGRET ERROR_INVALID_PARAMETER = 87;
constexpr VMMREGRET ERROR_MORE_DATA = 234;
constexpr VMMREGRET ERROR_NO_MORE_ITEMS = 259;
constexpr VMMREGRET ERROR_BADKEY = 1010;

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

VMMREGRET _RegOpenKey(VMMHKEY key, const char* subKey, PVMMHKEY result);
VMMREGRET _RegCreateKey(VMMHKEY key, const char* subKey, PVMMHKEY result);
VMMREGRET _RegCloseKey(VMMHKEY key);
// The index-th subkey name; ERROR_NO_MORE_ITEMS past the last.
VMMREGRET _RegEnumKey(VMMHKEY key, DWORD index, char* name, DWORD nameSize);
// The index-th value; data may be null (then only its name and type are wanted).
VMMREGRET _RegEnumValue(VMMHKEY key, DWORD index, char* valueName, PDWORD valueNameSize,
                        PDWORD reserved, PDWORD type, PBYTE data, PDWORD dataSize);
VMMREGRET _RegQueryValueEx(VMMHKEY key, const char* valueName, PDWORD reserved, PDWORD type,
                           PBYTE data, PDWORD dataSize);
VMMREGRET _RegSetValueEx(VMMHKEY key, const char* valueName, DWORD reserved, DWORD type,
                         const BYTE* data, DWORD dataSize);

namespace platform::vxd {
// Registry keys opened and not closed (tests look for leaks).
std::size_t OpenRegistryKeys();
}  // namespace platform::vxd
