// The program's string resources. On the platform they live in the executable; here a program
// registers its table when it starts, and LoadStringA reads it.
#pragma once

#include <span>

#include "platform/win32/windows.h"

namespace platform::win32 {

struct StringResource {
  UINT id;
  const char* text;
};

// Replaces the process's string table with a copy of `strings` (the texts need not outlive the
// call). A later entry with the same id wins.
void RegisterStringTable(std::span<const StringResource> strings);

// Empties the table, so that every LoadStringA finds nothing.
void ClearStringTable();

}  // namespace platform::win32
