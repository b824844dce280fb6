// How mdmreg reads values from its command line and shows them to people.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"
#include "platform/registry/tree.h"

namespace mdmreg {

// "HKLM\Software" -> "HKEY_LOCAL_MACHINE\Software" (also HKCU, HKCR, HKU; full names pass).
// Null when the path is not one, with the reason in `why`: it does not start with a known root
// key, or a key name in it cannot be stored (a line break, NUL, too long, too deep).
std::optional<std::string> ExpandKeyPath(std::string_view path, std::string& why);

// The value types `set` accepts: REG_SZ, REG_DWORD, REG_BINARY (any case).
std::optional<DWORD> ParseTypeName(std::string_view name);

// The bytes of `text` as a value of `type`: a string with its NUL, a DWORD (decimal or 0x-hex)
// in little-endian order, or hex bytes ("01,02,ff" or "0102ff"). Null when `text` is not one.
std::optional<std::vector<BYTE>> ParseValueText(DWORD type, std::string_view text);

// The platform's name of a value type ("REG_SZ"), or hex(N) for one it has no name for.
std::string TypeName(DWORD type);

// A value's data as `reg query` shows it: strings as text, a DWORD as 0x%08x, else hex bytes.
std::string ShowData(const platform::registry::Value& value);

}  // namespace mdmreg
