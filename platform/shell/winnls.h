// Code-page conversion as far as mdmlinks uses it.
#pragma once

#include "platform/win32/windows.h"

// The platform's 8-bit code page is the host's: UTF-8. Bytes that are not UTF-8 still survive a
// round trip to UTF-16 and back (each becomes a lone surrogate U+DC80..U+DCFF), so that any host
// file name can be named.
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// Converts `count` bytes (-1: up to and including the terminator) to UTF-16. With `wideCount`
// 0 returns the room needed; otherwise the units written, or 0 with ERROR_INSUFFICIENT_BUFFER
// when they do not fit (nothing is written then). `flags` must be 0.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR wide,
                        int wideCount);
