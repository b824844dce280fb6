#include "updater/dialog/dialog.h"

CFlashUpdateDlg* theDialog = nullptr;
const char* programName = "mdmflash";

void AppendLog(LPCSTR text) {
  if (theDialog == nullptr || text == nullptr) return;
  HWND log = theDialog->logWindow;
  auto length = static_cast<WPARAM>(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0));
  SendMessageA(log, EM_SETSEL, length, static_cast<LPARAM>(length));
  SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void LogString(UINT id) {
  char text[256];
  if (LoadStringA(nullptr, id, text, sizeof(text)) > 0) AppendLog(text);
}
