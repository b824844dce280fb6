// Basic types of the platform, spelled as the platform spells them. Every stand-in (win32, wdm,
// usb, vxd, shell) includes this one header so that no type is defined twice.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using CHAR = char;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;  // 32 bits, as on the platform (not the host's long)
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using BOOLEAN = std::uint8_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using WCHAR = char16_t;  // the platform's wide characters are 16-bit units

using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using PCHAR = char*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using PULONG = ULONG*;
using LPLONG = LONG*;

using HANDLE = void*;
using NTSTATUS = LONG;
using CCHAR = char;
using CSHORT = std::int16_t;
using PUCHAR = UCHAR*;
using PUSHORT = USHORT*;
using PWCHAR = WCHAR*;

// A 64-bit value that the platform also lets one address as two 32-bit halves (due times,
// time-outs, frame counts).
union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
static_assert(sizeof(LARGE_INTEGER) == 8);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The platform's calling-convention and annotation words carry no meaning on this host.
#define WINAPI
#define CALLBACK
#define APIENTRY
#define IN
#define OUT
#define OPTIONAL
