// The application object of mdmflash: it registers the start message, shows the update dialog
// modally and ends the program when the dialog closes.
#pragma once

#include "platform/win32/windows.h"

struct CFlashUpdateApp {
  // Called once at start; returns FALSE so that the program ends when the dialog has closed.
  BOOL InitInstance();
};

// The one application object.
extern CFlashUpdateApp theApp;
