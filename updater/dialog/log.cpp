// The update log: every thread appends to it through messages that the dialog thread carries out.
#include <vector>

#include "updater/dialog/dialog.h"

const char* programName = "mdmflash";
HINSTANCE moduleInstance = nullptr;

void AppendLog(LPCSTR text) {
  if (theDialog == nullptr || text == nullptr) return;
  HWND log = theDialog->logWindow;
  auto length = static_cast<WPARAM>(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0));
  SendMessageA(log, EM_SETSEL, length, static_cast<LPARAM>(length));
  SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void LogString(UINT id) {
  char text[256];
  if (LoadStringA(moduleInstance, id, text, sizeof(text)) > 0) AppendLog(text);
}

std::string LogText() {
  if (theDialog == nullptr) return {};
  auto length =
      static_cast<std::size_t>(SendMessageA(theDialog->logWindow, WM_GETTEXTLENGTH, 0, 0));
  std::vector<char> text(length + 1);
  SendMessageA(theDialog->logWindow, WM_GETTEXT, text.size(),
               reinterpret_cast<LPARAM>(text.data()));
  return std::string(text.data(), length);
}
