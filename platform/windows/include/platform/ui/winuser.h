// On Windows the window-messaging part of the platform is user32's, with the common controls
// (the progress bar's messages) and the common dialogs (the open-file dialog).
#pragma once

#include "platform/win32/windows.h"
// After windows.h, which they need.
#include <commctrl.h>
#include <commdlg.h>
