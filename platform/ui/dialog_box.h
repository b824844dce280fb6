// Modal dialogs built from a template, as the platform's dialog manager builds them: the dialog
// window and its controls, WM_INITDIALOG, the keys and the close box turned into commands, and a
// modal loop that ends with EndDialog. Who shows the dialog is the backend: headless by default
// (windows without a screen, the log and the progress echoed to the terminal when asked), or a
// window backend that a program installs.
#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "platform/ui/controls.h"
#include "platform/ui/winuser.h"

namespace ui {

enum class ControlKind { kPushButton, kDefPushButton, kGroupBox, kEdit, kProgressBar };

// One control of a template, in tab order; position and size in dialog units.
struct DialogItem {
  int id;
  ControlKind kind;
  const char* text;
  short x, y, cx, cy;
  DWORD style;  // beyond WS_CHILD | WS_VISIBLE
};

struct DialogTemplate {
  WORD resourceId;
  short x, y, cx, cy;
  const char* title;
  const char* font;
  WORD pointSize;
  DWORD style;
  DWORD exStyle;
  std::span<const DialogItem> items;
};

// Gives a control's model the observer that keeps its view up to date (none for no view).
using ViewFactory = std::function<ControlObserver(HWND dialog, const DialogItem& item)>;

// Makes the dialog window and its controls, owned by the calling thread, without a loop and
// without WM_INITDIALOG. `proc` sees the dialog's messages after the dialog manager's own
// handling: WM_CLOSE and the Esc key become WM_COMMAND IDCANCEL, Enter WM_COMMAND IDOK.
HWND CreateDialogWindows(const DialogTemplate& dialog, WindowProc proc, const ViewFactory& views);
// Destroys what CreateDialogWindows made.
void DestroyDialogWindows(HWND dialog);

// What happens when EndDialog ends a dialog, for a backend whose toolkit runs the modal loop.
void OnDialogEnd(HWND dialog, std::function<void(INT_PTR)> end);
// Whether the dialog is minimised, for a backend that can tell.
void OnDialogIconic(HWND dialog, std::function<bool()> iconic);
// The icon set with WM_SETICON ICON_BIG, or null.
HICON DialogIcon(HWND dialog);

// Shows a dialog modally on the calling thread: WM_INITDIALOG, then its messages until
// EndDialog; returns EndDialog's result, or -1 when the loop was interrupted.
INT_PTR ModalDialogBox(const DialogTemplate& dialog, WindowProc proc);

// The headless backend's modal dialog: windows without a screen, echoed as SetHeadlessOutput
// says; for a program that wraps the headless backend in a backend of its own.
INT_PTR RunHeadlessDialog(const DialogTemplate& dialog, WindowProc proc);

// A window backend: shows `dialog` modally with real windows. None installed: headless.
using ModalBackend = std::function<INT_PTR(const DialogTemplate& dialog, WindowProc proc)>;
void SetModalBackend(ModalBackend backend);

// Where the headless dialog echoes its controls: the log's text as it grows, and the progress
// bar's state after each change. Nothing is echoed by default.
struct HeadlessOutput {
  std::function<void(std::string_view inserted)> text;
  std::function<void(const ProgressState& progress)> progress;
};
void SetHeadlessOutput(HeadlessOutput output);

}  // namespace ui
