// The update dialog object: construction, initialisation, its message map and closing.
#include "updater/dialog/dialog.h"

#include "updater/session/session.h"

UINT startMessage = 0;
CFlashUpdateDlg* theDialog = nullptr;

namespace {

// One entry of the dialog's message map. `message` points at the number, since the registered
// start message is known only at run time; for WM_COMMAND, `code` and `id` pick the control.
struct MessageMapEntry {
  const UINT* message;
  WORD code;
  int id;
  LRESULT (*handler)(CFlashUpdateDlg& dialog, WPARAM wParam, LPARAM lParam);
};

constexpr UINT kPaint = WM_PAINT;
constexpr UINT kQueryDragIcon = WM_QUERYDRAGICON;
constexpr UINT kCommand = WM_COMMAND;

const MessageMapEntry kMessageMap[] = {
    {&kPaint, 0, 0,
     [](CFlashUpdateDlg& d, WPARAM, LPARAM) -> LRESULT {
       d.OnPaint();
       return 0;
     }},
    {&kQueryDragIcon, 0, 0,
     [](CFlashUpdateDlg& d, WPARAM, LPARAM) {
       return reinterpret_cast<LRESULT>(d.OnQueryDragIcon());
     }},
    {&kCommand, BN_CLICKED, IDC_SAVE_LOG,
     [](CFlashUpdateDlg& d, WPARAM, LPARAM) -> LRESULT {
       d.OnSaveLog();
       return 0;
     }},
    {&startMessage, 0, 0,
     [](CFlashUpdateDlg& d, WPARAM w, LPARAM l) { return d.OnStartSearch(w, l); }},
};

bool Matches(const MessageMapEntry& entry, UINT message, WPARAM wParam) {
  if (*entry.message == 0 || *entry.message != message) return false;
  if (message != WM_COMMAND) return true;
  return HIWORD(wParam) == entry.code && LOWORD(wParam) == entry.id;
}

}  // namespace

CFlashUpdateDlg::CFlashUpdateDlg() {
  m_hIcon = LoadIconA(moduleInstance, MAKEINTRESOURCEA(IDR_MAINFRAME));
  theDialog = this;
}

CFlashUpdateDlg::~CFlashUpdateDlg() {
  if (theDialog == this) theDialog = nullptr;
}

INT_PTR CFlashUpdateDlg::DoModal() {
  INT_PTR result = ui::ModalDialogBox(
      flashUpdateTemplate, [this](HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
        return FlashUpdateDialogProc(*this, w, message, wParam, lParam);
      });
  window = logWindow = progressControl = nullptr;  // the backend has destroyed them
  return result;
}

BOOL CFlashUpdateDlg::OnInitDialog() {
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  logWindow = GetDlgItem(window, IDC_LOG);
  progressControl = GetDlgItem(window, IDC_PROGRESS);
  EnableWindow(GetDlgItem(window, IDC_SAVE_LOG), TRUE);
  EnableWindow(GetDlgItem(window, IDOK), TRUE);
  // The session starts only once the dialog is on the screen.
  PostMessageA(window, startMessage, 0, 0);
  return TRUE;
}

LRESULT CFlashUpdateDlg::OnStartSearch(WPARAM, LPARAM) {
  StartModemSearch();
  return 0;
}

void CFlashUpdateDlg::OnOK() {
  if (!ConfirmStop()) return;
  StopSession();
  DoDataExchange();
  EndDialog(window, IDOK);
}

void CFlashUpdateDlg::OnCancel() {
  if (!ConfirmStop()) return;
  StopSession();
  EndDialog(window, IDCANCEL);
}

// A minimised window shows the icon set with WM_SETICON, which the window system draws itself;
// a restored one is painted by its controls.
void CFlashUpdateDlg::OnPaint() {
  if (IsIconic(window)) SendMessageA(window, WM_ICONERASEBKGND, 0, 0);
}

HICON CFlashUpdateDlg::OnQueryDragIcon() {
  return m_hIcon;
}

LRESULT FlashUpdateDialogProc(CFlashUpdateDlg& dialog, HWND window, UINT message, WPARAM wParam,
                              LPARAM lParam) {
  for (const MessageMapEntry& entry : kMessageMap) {
    if (Matches(entry, message, wParam)) return entry.handler(dialog, wParam, lParam);
  }
  // The framework's dialog: initialisation and the two buttons that end it.
  if (message == WM_INITDIALOG) {
    dialog.window = window;
    return dialog.OnInitDialog();
  }
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
    if (LOWORD(wParam) == IDOK) dialog.OnOK();
    if (LOWORD(wParam) == IDCANCEL) dialog.OnCancel();
  }
  return 0;
}

void CreateUpdateDialog(CFlashUpdateDlg& dialog, ui::ControlObserver logObserver) {
  if (startMessage == 0) startMessage = RegisterWindowMessageA(startMessageName);
  theDialog = &dialog;
  HWND window = ui::CreateDialogWindows(
      flashUpdateTemplate,
      [&dialog](HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
        return FlashUpdateDialogProc(dialog, w, message, wParam, lParam);
      },
      [&logObserver](HWND, const ui::DialogItem& item) {
        return item.id == IDC_LOG ? logObserver : ui::ControlObserver{};
      });
  SendMessageA(window, WM_INITDIALOG, 0, 0);
}

void DestroyUpdateDialog(CFlashUpdateDlg& dialog) {
  ui::DestroyDialogWindows(dialog.window);
  dialog.window = nullptr;
  dialog.logWindow = nullptr;
  dialog.progressControl = nullptr;
}
