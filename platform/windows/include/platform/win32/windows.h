// On Windows the Win32 interface is the real one, with the C runtime's low-level file calls
// (_open, _write) that the update log uses.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
