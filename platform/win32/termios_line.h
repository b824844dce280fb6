// Line settings of the COM-port stand-in in the kernel's termios2 terms (which set any rate
// exactly with BOTHER). This header brings in the kernel's termios structures, so it must not
// meet the C library's <termios.h> in one file.
#pragma once

#include <asm/termbits.h>

#include "platform/win32/windows.h"

namespace platform::win32::termios_line {

struct StandardRate {
  DWORD rate;
  tcflag_t code;
};

// The standard rate nearest to the one asked, for a device that takes no other.
StandardRate NearestStandardRate(DWORD rate);

// Raw mode as cfmakeraw sets it: bytes pass unchanged both ways, a read returns what is there.
void MakeRaw(termios2& t);

// Everything of the DCB except the rate.
void WriteLineSettings(const DCB& dcb, termios2& t);

// Overlays on `dcb` what the tty knows of; the rest stays as `dcb` has it.
void ReadLineSettings(const termios2& t, DCB& dcb);

// Whether a rate the tty runs at is near enough to the one asked: UARTs tolerate a few percent.
bool CloseEnough(DWORD actual, DWORD wanted);

}  // namespace platform::win32::termios_line
