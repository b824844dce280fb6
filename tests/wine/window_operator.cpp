// window_operator IMAGE LOG SHOT: a person at the screen of mdmflash's window, for the tests of
// the Windows build. It waits for the window, checks that its controls are those of the dialog
// resource where the dialog manager puts them, saves a picture of it as a bitmap file SHOT,
// answers the image file dialog with IMAGE, waits for the session's end, presses Save Log
// (answering its dialog with LOG), then Exit. Each step prints one line; the status is 0 when
// every step went as expected, 1 otherwise.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/ui/dialogs.h"
#include "platform/ui/win32/answers.h"
#include "tests/wine/window_picture.h"
#include "updater/dialog/dialog.h"

namespace {

constexpr char kTitle[] = "Modem Flash Update";
constexpr char kLogTitle[] = "Save update log as ...";
constexpr char kFinished[] = "Update finished!";

// Waits up to `seconds` for `done` to hold, looking every 100 ms.
template <typename Done>
bool WaitFor(int seconds, Done done) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

std::string TextOf(HWND window) {
  char text[8192] = "";
  SendMessageA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text));
  return text;
}

const char* ClassOf(ui::ControlKind kind) {
  switch (kind) {
    case ui::ControlKind::kEdit:
      return "Edit";
    case ui::ControlKind::kProgressBar:
      return PROGRESS_CLASSA;
    default:
      return "Button";
  }
}

// The dialog base units of the resource's font, as the dialog manager computes them: the
// font's average width of the 52 letters and its height.
SIZE BaseUnits() {
  HDC screen = GetDC(nullptr);
  HFONT font = CreateFontA(
      -MulDiv(flashUpdateTemplate.pointSize, GetDeviceCaps(screen, LOGPIXELSY), 72), 0, 0, 0,
      FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, flashUpdateTemplate.font);
  HGDIOBJ old = SelectObject(screen, font);
  TEXTMETRICA metrics{};
  GetTextMetricsA(screen, &metrics);
  SIZE letters{};
  GetTextExtentPoint32A(screen, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52,
                        &letters);
  SelectObject(screen, old);
  DeleteObject(font);
  ReleaseDC(nullptr, screen);
  return SIZE{(letters.cx / 26 + 1) / 2, metrics.tmHeight};
}

// Within a pixel of where the base units put it: the dialog manager rounds each edge.
bool Near(const RECT& a, const RECT& b) {
  return std::abs(a.left - b.left) <= 1 && std::abs(a.top - b.top) <= 1 &&
         std::abs(a.right - b.right) <= 1 && std::abs(a.bottom - b.bottom) <= 1;
}

// The styles asked for. The dialog manager turns a control's border into a sunken edge, and a
// progress bar draws its own frame whatever its styles say.
bool HasStyles(HWND control, const ui::DialogItem& item) {
  auto style = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
  auto exStyle = static_cast<DWORD>(GetWindowLongA(control, GWL_EXSTYLE));
  bool border = (style & WS_BORDER) != 0 || (exStyle & WS_EX_CLIENTEDGE) != 0 ||
                item.kind == ui::ControlKind::kProgressBar;
  DWORD rest = item.style & ~static_cast<DWORD>(WS_BORDER);
  return (style & rest) == rest && ((item.style & WS_BORDER) == 0 || border);
}

// Each control of the resource: there, of its class and text, with its styles, and where the
// dialog units of the resource put it.
bool CheckLayout(HWND dialog) {
  const SIZE units = BaseUnits();
  auto x = [&](int dlu) { return MulDiv(dlu, units.cx, 4); };
  auto y = [&](int dlu) { return MulDiv(dlu, units.cy, 8); };
  bool good = true;
  for (const ui::DialogItem& item : flashUpdateTemplate.items) {
    HWND control = GetDlgItem(dialog, item.id);
    char className[64] = "";
    GetClassNameA(control, className, sizeof(className));
    RECT expected{x(item.x), y(item.y), x(item.x + item.cx), y(item.y + item.cy)};
    RECT actual{};
    GetWindowRect(control, &actual);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
    bool same = control != nullptr && lstrcmpiA(className, ClassOf(item.kind)) == 0 &&
                (item.kind == ui::ControlKind::kEdit || TextOf(control) == item.text) &&
                HasStyles(control, item) && Near(expected, actual);
    std::printf("control %d, %s \"%s\", at %ld,%ld size %ldx%ld: %s\n", item.id, className,
                item.text, actual.left, actual.top, actual.right - actual.left,
                actual.bottom - actual.top, same ? "as laid out" : "NOT as laid out");
    good = good && same;
  }
  return good;
}

void Press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: window_operator IMAGE LOG SHOT\n");
    return 2;
  }
  std::string image = argv[1], log = argv[2];
  HWND dialog = nullptr;
  if (!WaitFor(
          20, [&] { return (dialog = FindWindowA(nullptr, kTitle)) && IsWindowVisible(dialog); })) {
    std::printf("the window did not show\n");
    return 1;
  }
  std::printf("the window \"%s\" shows\n", kTitle);
  bool good = CheckLayout(dialog);
  good = SaveWindowPicture(dialog, argv[3]) && good;
  DWORD process = 0;
  GetWindowThreadProcessId(dialog, &process);
  ui::SetFileDialogAnswer([&](const ui::FileDialogRequest& request) {
    std::printf("file dialog \"%s\" answered\n", request.title.c_str());
    return std::optional<std::string>(request.title == kLogTitle ? log : image);
  });
  ui::win32::AnswerDialogs answering(process);
  HWND logControl = GetDlgItem(dialog, IDC_LOG);
  if (!WaitFor(40, [&] { return TextOf(logControl).find(kFinished) != std::string::npos; })) {
    std::printf("the session did not finish\n");
    return 1;
  }
  std::printf("the session finished\n");
  Press(dialog, IDC_SAVE_LOG);
  if (!WaitFor(10, [&] { return GetFileAttributesA(log.c_str()) != INVALID_FILE_ATTRIBUTES; })) {
    std::printf("the log was not saved\n");
    return 1;
  }
  std::printf("the log was saved\n");
  Press(dialog, IDOK);
  if (!WaitFor(10, [&] { return !IsWindow(dialog); })) {
    std::printf("Exit did not close the window\n");
    return 1;
  }
  std::printf("Exit closed the window\n");
  return good ? 0 : 1;
}
