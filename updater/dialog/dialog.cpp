// The update dialog's window, its two controls that the program writes to, and the deferred
// start of the session.
#include "updater/dialog/dialog.h"

#include <vector>

#include "updater/session/session.h"

UINT startMessage = 0;

namespace {

constexpr char kStartMessageName[] = "Norvane_USB_Modem_Update";

LRESULT DialogProc(HWND, UINT message, WPARAM, LPARAM) {
  if (message == startMessage && startMessage != 0) StartModemSearch();  // OnStartSearch
  return 0;
}

}  // namespace

void CreateUpdateDialog(CFlashUpdateDlg& dialog, ui::ControlObserver logObserver) {
  startMessage = RegisterWindowMessageA(kStartMessageName);
  dialog.window = ui::CreateWindowObject(nullptr, 0, DialogProc);
  dialog.logWindow = ui::CreateEditControl(dialog.window, IDC_LOG, std::move(logObserver));
  dialog.progressControl = ui::CreateProgressBar(dialog.window, IDC_PROGRESS);
  theDialog = &dialog;
  PostMessageA(dialog.window, startMessage, 0, 0);
}

void DestroyUpdateDialog(CFlashUpdateDlg& dialog) {
  ui::DestroyWindowObject(dialog.window);
  if (theDialog == &dialog) theDialog = nullptr;
  dialog = CFlashUpdateDlg{};
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
