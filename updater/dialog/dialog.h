// The update dialog "Modem Flash Update": the log every thread writes to, the progress bar the
// ZModem sender drives, Save Log, Exit and Cancel.
#pragma once

#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/dialog_box.h"
#include "platform/ui/winuser.h"

// Resource numbers of the dialog template and its controls.
constexpr WORD IDD_FLASHUPDATE_DIALOG = 102;
constexpr WORD IDR_MAINFRAME = 128;  // the program icon
constexpr int IDC_PROCESSING_GROUP = 1008;
constexpr int IDC_LOG = 1009;
constexpr int IDC_LOG_GROUP = 1010;
constexpr int IDC_PROGRESS = 1011;
constexpr int IDC_SAVE_LOG = 1012;

// Dialog resource 102.
extern const ui::DialogTemplate flashUpdateTemplate;

// The one dialog object of the program. Constructing it loads the icon and makes it the
// program-wide dialog; the windows exist from OnInitDialog (or CreateUpdateDialog) on.
struct CFlashUpdateDlg {
  CFlashUpdateDlg();
  ~CFlashUpdateDlg();
  CFlashUpdateDlg(const CFlashUpdateDlg&) = delete;
  CFlashUpdateDlg& operator=(const CFlashUpdateDlg&) = delete;

  // Shows the dialog modally until Exit or Cancel ends it; returns IDOK or IDCANCEL.
  INT_PTR DoModal();

  BOOL OnInitDialog();
  LRESULT OnStartSearch(WPARAM wParam, LPARAM lParam);
  void OnSaveLog();
  void OnOK();
  void OnCancel();
  void OnPaint();
  HICON OnQueryDragIcon();
  void DoDataExchange() {}  // the dialog exchanges no data with its controls

  HICON m_hIcon = nullptr;
  HWND window = nullptr;
  HWND logWindow = nullptr;        // control 1009
  HWND progressControl = nullptr;  // control 1011
};

// Set when the dialog object is constructed; the worker and the ZModem thread reach the log and
// the progress bar through it.
extern CFlashUpdateDlg* theDialog;

// The program's name, the title of its standard message boxes: the executable's file name once
// the application has started ("mdmflash" in hosts that run the dialog without it).
extern const char* programName;

// The program's module instance; string resources, icons and file dialogs come from it.
extern HINSTANCE moduleInstance;

// The registered start message: its name, and its number. The dialog posts it to itself once it is
// shown, and its handler runs the modem search.
inline constexpr char startMessageName[] = "Norvane_USB_Modem_Update";
extern UINT startMessage;

// The dialog's window procedure: the message map, then the framework's defaults.
LRESULT FlashUpdateDialogProc(CFlashUpdateDlg& dialog, HWND window, UINT message, WPARAM wParam,
                              LPARAM lParam);

// Builds the dialog's windows without a modal loop, owned by the calling thread (the dialog
// thread), and initialises it (which posts the start message); the caller serves the messages.
// `logObserver` sees every text the log receives. For hosts that run the loop themselves.
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

// Save Log: the path last chosen in the log file dialog (empty at start, emptied by a cancel).
extern char lastLogPath[256];
// Set when a Save Log could not open its file or write the whole record to it.
extern bool logSaveFailed;
LPCSTR SelectLogFile(HINSTANCE instance, HWND owner);
