// The update dialog as the rest of the program reaches it: the log and the progress bar.
#pragma once

#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/winuser.h"

// Control ids of the dialog template.
constexpr int IDC_PROGRESS = 1011;
constexpr int IDC_LOG = 1009;
constexpr int IDC_SAVE_LOG = 1012;

// The one dialog object of the program.
struct CFlashUpdateDlg {
  HWND window = nullptr;
  HWND logWindow = nullptr;        // control 1009
  HWND progressControl = nullptr;  // control 1011
};

// Set when the dialog object is constructed; the worker and the ZModem thread reach the log and
// the progress bar through it.
extern CFlashUpdateDlg* theDialog;

// The program's name, the title of its standard message boxes (the executable's name).
extern const char* programName;

// The registered start message: the dialog posts it to itself once it is shown, and its
// handler runs the modem search.
extern UINT startMessage;

// Builds the dialog's window and controls, owned by the calling thread (the dialog thread), sets
// theDialog and posts the start message. `logObserver` sees every text the log receives.
void CreateUpdateDialog(CFlashUpdateDlg& dialog, ui::ControlObserver logObserver = {});
void DestroyUpdateDialog(CFlashUpdateDlg& dialog);

// The whole text of the log, read on the dialog thread.
std::string LogText();

// Appends text to the end of the log. Any thread may call it: the text is inserted by the
// dialog thread, and the call returns once it has been.
void AppendLog(LPCSTR text);

// Appends the string resource `id` (loaded into a buffer of 256 characters of its own); an id
// without text appends nothing.
void LogString(UINT id);
