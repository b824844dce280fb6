// On Windows a program's strings are the STRINGTABLE resource of its executable, which
// LoadStringA reads; there is nothing to register.
#include "platform/win32/string_table.h"

namespace platform::win32 {

void RegisterStringTable(std::span<const StringResource>) {}

void ClearStringTable() {}

}  // namespace platform::win32
