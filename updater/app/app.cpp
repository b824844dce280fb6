#include "updater/app/app.h"

#include <string>

#include "updater/dialog/dialog.h"

CFlashUpdateApp theApp;

namespace {

// An application object without a name of its own is named after its executable's file name,
// without folder and extension; that name titles its message boxes.
const char* NameFromExecutable() {
  static std::string name;
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return programName;
  std::string file(path, length);
  file.erase(0, file.find_last_of("/\\") + 1);
  if (auto dot = file.rfind('.'); dot != std::string::npos && dot > 0) file.erase(dot);
  if (file.empty()) return programName;
  name = file;
  return name.c_str();
}

}  // namespace

BOOL CFlashUpdateApp::InitInstance() {
  programName = NameFromExecutable();
  CFlashUpdateDlg dialog;
  startMessage = RegisterWindowMessageA(startMessageName);
  // The module instance stays null: this platform's resources belong to the process, and
  // LoadStringA and LoadIconA take null for the program itself.
  moduleInstance = nullptr;
  dialog.DoModal();  // its result is not evaluated
  return FALSE;
}
