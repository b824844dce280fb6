// A picture of a window as the screen shows it, saved as a 24-bit bitmap file.
#pragma once

#include <windows.h>

bool SaveWindowPicture(HWND window, const char* path);
