#include "platform/ui/dialog_box.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ui {
namespace {

struct DialogState {
  bool ended = false;
  INT_PTR result = 0;
  HICON icon = nullptr;
  std::function<void(INT_PTR)> end;
  std::function<bool()> iconic;
};

struct Dialogs {
  std::mutex mutex;
  std::map<HWND, std::shared_ptr<DialogState>> byHandle;
  ModalBackend backend;
  HeadlessOutput headless;
};

Dialogs& TheDialogs() {
  static Dialogs dialogs;
  return dialogs;
}

std::shared_ptr<DialogState> StateOf(HWND dialog) {
  auto& dialogs = TheDialogs();
  std::lock_guard lock(dialogs.mutex);
  auto it = dialogs.byHandle.find(dialog);
  return it == dialogs.byHandle.end() ? nullptr : it->second;
}

// A button or group box: it keeps its text and whether it is enabled.
struct StaticState {
  std::string text;
  bool enabled = true;
};

LRESULT StaticProc(StaticState& control, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTEXT:
      control.text = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "";
      return TRUE;
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(control.text.size());
    case WM_ENABLE:
      control.enabled = wParam != 0;
      return 0;
    default:
      return 0;
  }
}

HWND CreateControl(HWND dialog, const DialogItem& item, ControlObserver observer) {
  switch (item.kind) {
    case ControlKind::kEdit:
      return CreateEditControl(dialog, item.id, std::move(observer));
    case ControlKind::kProgressBar:
      return CreateProgressBar(dialog, item.id, std::move(observer));
    default: {
      auto state =
          std::make_shared<StaticState>(StaticState{item.text != nullptr ? item.text : ""});
      return CreateWindowObject(dialog, item.id, [state](HWND, UINT message, WPARAM w, LPARAM l) {
        return StaticProc(*state, message, w, l);
      });
    }
  }
}

// The dialog manager's part: the close box and the keys become the commands of the buttons
// they stand for, the icon is remembered; everything reaches the dialog's own procedure.
LRESULT DialogManagerProc(const std::shared_ptr<DialogState>& state, const WindowProc& proc,
                          HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    return SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
  if (message == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN)) {
    WORD id = wParam == VK_ESCAPE ? IDCANCEL : IDOK;
    return SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  }
  if (message == WM_SETICON && wParam == ICON_BIG) state->icon = reinterpret_cast<HICON>(lParam);
  return proc(dialog, message, wParam, lParam);
}

ControlObserver HeadlessView(HWND dialog, const DialogItem& item) {
  HeadlessOutput output;
  {
    auto& dialogs = TheDialogs();
    std::lock_guard lock(dialogs.mutex);
    output = dialogs.headless;
  }
  if (item.kind == ControlKind::kEdit && output.text) return output.text;
  if (item.kind == ControlKind::kProgressBar && output.progress) {
    return [dialog, id = item.id, echo = output.progress](std::string_view) {
      echo(GetProgressState(GetDlgItem(dialog, id)));
    };
  }
  return {};
}

}  // namespace

INT_PTR RunHeadlessDialog(const DialogTemplate& dialog, WindowProc proc) {
  HWND window = CreateDialogWindows(dialog, std::move(proc), HeadlessView);
  auto state = StateOf(window);
  SendMessageA(window, WM_INITDIALOG, 0, 0);
  bool finished = PumpMessages([&state] {
    std::lock_guard lock(TheDialogs().mutex);
    return state->ended;
  });
  DestroyDialogWindows(window);
  std::lock_guard lock(TheDialogs().mutex);
  return finished ? state->result : -1;
}

HWND CreateDialogWindows(const DialogTemplate& dialog, WindowProc proc, const ViewFactory& views) {
  auto state = std::make_shared<DialogState>();
  HWND window = CreateWindowObject(
      nullptr, 0, [state, proc = std::move(proc)](HWND hwnd, UINT message, WPARAM w, LPARAM l) {
        return DialogManagerProc(state, proc, hwnd, message, w, l);
      });
  {
    auto& dialogs = TheDialogs();
    std::lock_guard lock(dialogs.mutex);
    dialogs.byHandle[window] = state;
  }
  for (const DialogItem& item : dialog.items) {
    CreateControl(window, item, views ? views(window, item) : ControlObserver{});
  }
  return window;
}

void DestroyDialogWindows(HWND dialog) {
  DestroyWindowObject(dialog);
  auto& dialogs = TheDialogs();
  std::lock_guard lock(dialogs.mutex);
  dialogs.byHandle.erase(dialog);
}

void OnDialogEnd(HWND dialog, std::function<void(INT_PTR)> end) {
  if (auto state = StateOf(dialog)) {
    std::lock_guard lock(TheDialogs().mutex);
    state->end = std::move(end);
  }
}

void OnDialogIconic(HWND dialog, std::function<bool()> iconic) {
  if (auto state = StateOf(dialog)) {
    std::lock_guard lock(TheDialogs().mutex);
    state->iconic = std::move(iconic);
  }
}

HICON DialogIcon(HWND dialog) {
  auto state = StateOf(dialog);
  std::lock_guard lock(TheDialogs().mutex);
  return state ? state->icon : nullptr;
}

INT_PTR ModalDialogBox(const DialogTemplate& dialog, WindowProc proc) {
  ModalBackend backend;
  {
    auto& dialogs = TheDialogs();
    std::lock_guard lock(dialogs.mutex);
    backend = dialogs.backend;
  }
  return backend ? backend(dialog, std::move(proc)) : RunHeadlessDialog(dialog, std::move(proc));
}

void SetModalBackend(ModalBackend backend) {
  auto& dialogs = TheDialogs();
  std::lock_guard lock(dialogs.mutex);
  dialogs.backend = std::move(backend);
}

void SetHeadlessOutput(HeadlessOutput output) {
  auto& dialogs = TheDialogs();
  std::lock_guard lock(dialogs.mutex);
  dialogs.headless = std::move(output);
}

}  // namespace ui

BOOL EndDialog(HWND dialog, INT_PTR result) {
  auto state = ui::StateOf(dialog);
  if (!state) return FALSE;
  std::function<void(INT_PTR)> end;
  {
    std::lock_guard lock(ui::TheDialogs().mutex);
    state->ended = true;
    state->result = result;
    end = state->end;
  }
  if (end) end(result);
  ui::Wake();
  return TRUE;
}

BOOL EnableWindow(HWND window, BOOL enable) {
  SendMessageA(window, WM_ENABLE, enable != FALSE ? TRUE : FALSE, 0);
  return TRUE;
}

BOOL IsIconic(HWND window) {
  auto state = ui::StateOf(window);
  std::function<bool()> iconic;
  if (state) {
    std::lock_guard lock(ui::TheDialogs().mutex);
    iconic = state->iconic;
  }
  return iconic && iconic() ? TRUE : FALSE;
}

HICON LoadIconA(HINSTANCE, LPCSTR name) {
  // Icons live in the executable on the platform; here an icon is named by its number, which
  // the handle carries for the backend that draws it.
  auto id = reinterpret_cast<UINT_PTR>(name);
  if (id == 0 || id > 0xFFFF) return nullptr;
  return reinterpret_cast<HICON>(0x7F0000 + id);
}
