// What the platform knows of a COM port's device beyond one open of it: the settings this
// process made (kept between opens, as the platform's serial driver keeps them while the
// system runs) and the modem lines the platform root declares for a device that has none.
// Shared by the backends that reach a device outside the process (a tty, a remote port).
#pragma once

#include <optional>
#include <string>

#include "platform/win32/windows.h"

namespace platform::win32 {

struct KeptSettings {
  DCB dcb;
  DWORD appliedRate;  // the rate the device ran at for dcb.BaudRate
  COMMTIMEOUTS timeouts;
};

// Keyed by the dosdevices link, the port's name on this host.
std::optional<KeptSettings> RecallSettings(const std::string& link);
void KeepSettings(const std::string& link, const KeptSettings& kept);

// The lines (MS_*_ON) declared in the file `declaration`: words among "cts", "dsr", "ring" and
// "dcd", any case. None without the file; a word it does not know voids the declaration (and
// says so on the debugger output), so that a typing error does not pass for a line that is off.
// Only a regular file of at most a few hundred bytes declares anything: a FIFO, a device or a
// larger file is never read (nor waited on), and the debugger output says so.
// A declaration the host gave no descriptor (or memory) to read sets `refused` to
// ERROR_TOO_MANY_OPEN_FILES (or ERROR_NOT_ENOUGH_MEMORY): the port's lines are then unknown.
std::optional<DWORD> DeclaredLines(const std::string& declaration, DWORD* refused = nullptr);

}  // namespace platform::win32
