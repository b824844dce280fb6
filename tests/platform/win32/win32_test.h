// What the tests that both builds compile ask of the platform they run on: the handles this
// process holds (the stand-in's table, or on Windows the process's own count), and whether Wine
// runs them, for the few differences of Wine's that they skip (tests/wine/README.md).
#pragma once

#include <cstddef>

#include "platform/win32/windows.h"
#ifndef _WIN32
#include "platform/win32/objects.h"
#endif

namespace testing_support {

inline std::size_t OpenHandles() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
#else
  return platform::win32::OpenHandleCount();
#endif
}

inline bool UnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace testing_support
