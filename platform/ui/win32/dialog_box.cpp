// The dialog framework on Win32: the dialog manager builds each dialog from the in-memory
// template; the ui layer's procedure sees its messages after the dialog manager's own handling,
// and the headless backend is the same dialog kept off the screen, its controls echoed.
#include "platform/ui/dialog_box.h"

#include <mutex>
#include <utility>

#include "platform/ui/win32/answers.h"
#include "platform/ui/win32/observe.h"
#include "platform/ui/win32/template.h"

namespace ui {
namespace {

struct Settings {
  std::mutex mutex;
  ModalBackend backend;
  HeadlessOutput output;
};

Settings& TheSettings() {
  static Settings settings;
  return settings;
}

// What a dialog's procedure needs for the dialog's life.
struct DialogContext {
  WindowProc proc;
  ViewFactory views;
  const DialogTemplate* dialog;
  bool hidden;         // kept off the screen (headless)
  bool initByCaller;   // the dialog manager's WM_INITDIALOG is left to the caller to send
  bool ownedByWindow;  // deleted with the window
};

// The messages whose result is the procedure's; the others go on to the dialog manager's
// defaults (painting, focus, the icon), which the procedure only watches.
bool ResultIsTheProcedures(UINT message) {
  return message == WM_COMMAND || message == WM_QUERYDRAGICON || message >= WM_USER;
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* context = reinterpret_cast<DialogContext*>(GetWindowLongPtrA(window, DWLP_USER));
  if (message == WM_INITDIALOG && context == nullptr) {
    context = reinterpret_cast<DialogContext*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(context));
    win32::ObserveControls(window, *context->dialog, context->views);
    if (context->initByCaller) return TRUE;
    return context->proc(window, message, wParam, 0) != 0;
  }
  if (context == nullptr) return FALSE;
  switch (message) {
    case WM_WINDOWPOSCHANGING:
      // The modal loop shows the dialog once it is idle; a headless one stays hidden.
      if (context->hidden) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
      return FALSE;
    case WM_CLOSE:
      // The close box is Cancel, carried out before the close returns.
      SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return TRUE;
    case WM_NCDESTROY:
      SetWindowLongPtrA(window, DWLP_USER, 0);
      if (context->ownedByWindow) delete context;
      return FALSE;
    default:
      break;
  }
  LRESULT result = context->proc(window, message, wParam, lParam);
  if (!ResultIsTheProcedures(message)) return FALSE;
  if (message == WM_QUERYDRAGICON && result == 0) return FALSE;
  SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
  return TRUE;
}

void StartCommonControls() {
  static std::once_flag once;
  std::call_once(once, [] {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
  });
}

INT_PTR RunModal(const DialogTemplate& dialog, WindowProc proc, ViewFactory views, bool hidden) {
  StartCommonControls();
  std::vector<DWORD> bytes = win32::BuildDialogTemplate(dialog, !hidden);
  DialogContext context{std::move(proc), std::move(views), &dialog, hidden, false, false};
  return DialogBoxIndirectParamA(GetModuleHandleA(nullptr),
                                 reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data()), nullptr,
                                 DialogProc, reinterpret_cast<LPARAM>(&context));
}

}  // namespace

HWND CreateDialogWindows(const DialogTemplate& dialog, WindowProc proc, const ViewFactory& views) {
  StartCommonControls();
  std::vector<DWORD> bytes = win32::BuildDialogTemplate(dialog, false);
  auto* context = new DialogContext{std::move(proc), views, &dialog, true, true, true};
  HWND window = CreateDialogIndirectParamA(GetModuleHandleA(nullptr),
                                           reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data()), nullptr,
                                           DialogProc, reinterpret_cast<LPARAM>(context));
  if (window == nullptr) delete context;
  return window;
}

void DestroyDialogWindows(HWND dialog) {
  if (dialog != nullptr) DestroyWindow(dialog);
}

INT_PTR ModalDialogBox(const DialogTemplate& dialog, WindowProc proc) {
  ModalBackend backend;
  {
    std::lock_guard lock(TheSettings().mutex);
    backend = TheSettings().backend;
  }
  return backend ? backend(dialog, std::move(proc)) : RunModal(dialog, std::move(proc), {}, false);
}

INT_PTR RunHeadlessDialog(const DialogTemplate& dialog, WindowProc proc) {
  HeadlessOutput output;
  {
    std::lock_guard lock(TheSettings().mutex);
    output = TheSettings().output;
  }
  ViewFactory views = [output](HWND window, const DialogItem& item) -> ControlObserver {
    if (item.kind == ControlKind::kEdit) return output.text;
    if (item.kind != ControlKind::kProgressBar || !output.progress) return {};
    HWND bar = GetDlgItem(window, item.id);
    return [output, bar](std::string_view) { output.progress(GetProgressState(bar)); };
  };
  // While it runs, the boxes and file dialogs it opens are answered as the program said.
  win32::AnswerDialogs answering;
  return RunModal(dialog, std::move(proc), std::move(views), true);
}

void SetModalBackend(ModalBackend backend) {
  std::lock_guard lock(TheSettings().mutex);
  TheSettings().backend = std::move(backend);
}

void SetHeadlessOutput(HeadlessOutput output) {
  std::lock_guard lock(TheSettings().mutex);
  TheSettings().output = std::move(output);
}

}  // namespace ui
