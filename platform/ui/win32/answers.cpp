#include "platform/ui/win32/answers.h"

#include <chrono>
#include <set>
#include <string>

#include "platform/ui/dialogs.h"

namespace ui {
namespace {

// Controls of the dialogs the operator tells apart: the message box's text, and the file name
// field of the open-file dialog (a combo box, or an edit field in older layouts).
constexpr int kMessageText = 0xFFFF;
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;

// A window's text, read with WM_GETTEXT, which the system carries across processes.
std::string TextOf(HWND window) {
  char text[1024] = "";
  SendMessageA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text));
  return text;
}

bool IsFileDialog(HWND box) {
  return GetDlgItem(box, kFileNameCombo) != nullptr || GetDlgItem(box, kFileNameEdit) != nullptr;
}

void Press(HWND box, int button) {
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

void AnswerMessageBox(HWND box) {
  MessageBoxAnswer answer = CurrentMessageBoxAnswer();
  UINT type = GetDlgItem(box, IDYES) != nullptr ? MB_YESNO : MB_OK;
  MessageBoxRequest request{GetWindow(box, GW_OWNER), TextOf(GetDlgItem(box, kMessageText)),
                            TextOf(box), type};
  Press(box, answer ? answer(request) : type == MB_YESNO ? IDNO : IDOK);
}

// The field the file name is typed into: the edit field inside the file name combo box (itself
// inside an extended combo box in some layouts), or the plain edit field of older layouts.
HWND FileNameField(HWND box) {
  HWND field = GetDlgItem(box, kFileNameCombo);
  if (field == nullptr) return GetDlgItem(box, kFileNameEdit);
  char className[16] = "";
  while (GetClassNameA(field, className, sizeof(className)) > 0 &&
         lstrcmpiA(className, "Edit") != 0) {
    HWND inner = FindWindowExA(field, nullptr, nullptr, nullptr);
    if (inner == nullptr) break;
    field = inner;
  }
  return field;
}

// What the file dialog shows: its owner, its title and the file name it offers. Only messages
// that the system carries across processes are used, so that an operator in another process
// may answer too.
FileDialogRequest DescribeFileDialog(HWND box) {
  FileDialogRequest request{};
  request.owner = GetWindow(box, GW_OWNER);
  request.title = TextOf(box);
  request.initialName = TextOf(FileNameField(box));
  return request;
}

void AnswerFileDialog(HWND box) {
  FileDialogAnswer answer = CurrentFileDialogAnswer();
  std::optional<std::string> path = answer ? answer(DescribeFileDialog(box)) : std::nullopt;
  if (!path) {
    Press(box, IDCANCEL);
    return;
  }
  SendMessageA(FileNameField(box), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path->c_str()));
  Press(box, IDOK);
}

// The operator's pass over the shown dialogs of the watched process that it has not answered
// yet. A dialog counts as shown once it is visible: its WM_INITDIALOG has run by then.
struct Operator {
  DWORD process;
  std::set<HWND> answered;
  std::set<HWND> fileDialogs;

  // Only message boxes and file dialogs are answered; the program's own dialogs are not.
  void Visit(HWND box) {
    if (answered.contains(box) || !IsWindowVisible(box)) return;
    bool messageBox = GetDlgItem(box, kMessageText) != nullptr;
    if (!messageBox && !IsFileDialog(box)) return;
    answered.insert(box);
    if (messageBox && fileDialogs.contains(GetWindow(box, GW_OWNER))) {
      Press(box, GetDlgItem(box, IDYES) != nullptr ? IDYES : IDOK);
    } else if (messageBox) {
      AnswerMessageBox(box);
    } else {
      fileDialogs.insert(box);
      AnswerFileDialog(box);
    }
  }

  void Forget() {
    std::erase_if(answered, [](HWND box) { return !IsWindow(box); });
    std::erase_if(fileDialogs, [](HWND box) { return !IsWindow(box); });
  }
};

BOOL CALLBACK VisitWindow(HWND window, LPARAM data) {
  auto* visitor = reinterpret_cast<Operator*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char className[16];
  if (process == visitor->process && GetClassNameA(window, className, sizeof(className)) &&
      std::string(className) == "#32770") {
    visitor->Visit(window);
  }
  return TRUE;
}

}  // namespace

namespace win32 {

AnswerDialogs::AnswerDialogs(DWORD process)
    : operator_([this, process] {
        Operator visitor{process, {}, {}};
        while (!stop_.load()) {
          EnumWindows(VisitWindow, reinterpret_cast<LPARAM>(&visitor));
          visitor.Forget();
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }) {}

AnswerDialogs::~AnswerDialogs() {
  stop_ = true;
  operator_.join();
}

}  // namespace win32
}  // namespace ui
