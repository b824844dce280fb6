// The REGEDIT4 text form of the registry, as registry.reg holds it:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Hardware\Devicemap\Serialcomm]
//   "COM3"="COM3"
//   @="default value"
//   "Count"=dword:00000003
//   "Bytes"=hex:01,02,ff
//   "Odd"=hex(1):41,42,00,43,00
#pragma once

#include <string>
#include <string_view>

#include "platform/registry/status.h"
#include "platform/registry/tree.h"

namespace platform::registry {

// Reads `text` into `tree` (which should start empty). A fault is reported as
// "<source>:<line>: <what>" with Error::kCorrupt.
Status ParseRegedit4(std::string_view text, const std::string& source, Tree& tree);

// Writes every key (empty ones too, so that they persist) and every value so that
// ParseRegedit4 gives back exactly the same names, types and bytes.
std::string FormatRegedit4(const Tree& tree);

}  // namespace platform::registry
