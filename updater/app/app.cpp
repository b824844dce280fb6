#include "updater/app/app.h"

#include "updater/dialog/dialog.h"

CFlashUpdateApp theApp;

BOOL CFlashUpdateApp::InitInstance() {
  CFlashUpdateDlg dialog;
  startMessage = RegisterWindowMessageA(startMessageName);
  // The module instance stays null: this platform's resources belong to the process, and
  // LoadStringA and LoadIconA take null for the program itself.
  moduleInstance = nullptr;
  dialog.DoModal();  // its result is not evaluated
  return FALSE;
}
