#include "updater/app/headless.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string_view>
#include <thread>

#include "platform/ui/dialog_box.h"
#include "platform/ui/dialogs.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"

namespace {

// Posted to the dialog when the session has nothing more to do.
constexpr UINT kSessionOver = WM_USER + 0x200;
constexpr char kFinished[] = "Update finished!\r\n";

std::atomic<HWND> shownDialog{nullptr};

// The question's text picks the option that answers it; an unanswered question is No.
int AnswerQuestion(const ProgramOptions& options, const ui::MessageBoxRequest& request) {
  char text[256];
  if (LoadStringA(moduleInstance, IDS_CANCEL_RUNNING, text, sizeof(text)) > 0 &&
      request.text == text) {
    return options.confirmCancel.value_or(false) ? IDYES : IDNO;
  }
  if (LoadStringA(moduleInstance, IDS_USE_SAME_IMAGE, text, sizeof(text)) > 0 &&
      request.text == text) {
    return options.sameImage.value_or(false) ? IDYES : IDNO;
  }
  std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
  return (request.type & 0xF) == MB_YESNO ? IDNO : IDOK;
}

void ShowProgress(const ui::ProgressState& bar) {
  int span = bar.high > bar.low ? bar.high - bar.low : 1;
  int done = (bar.position - bar.low) * 40 / span;
  std::fprintf(stderr, "\r[%-40.*s] %d/%d", done, "########################################",
               bar.position - bar.low, span);
  if (bar.position >= bar.high) std::fputc('\n', stderr);
  std::fflush(stderr);
}

// The session is over when the search started no worker, or the worker reported the end.
LRESULT OperatorProc(const ProgramOptions& options, const ui::WindowProc& proc, HWND window,
                     UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSessionOver) {
    if (options.saveLogPath) {
      SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_SAVE_LOG, BN_CLICKED), 0);
    }
    return SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  if (message == WM_INITDIALOG) shownDialog = window;
  LRESULT result = proc(window, message, wParam, lParam);
  if (message == startMessage && updateWorkerThread == nullptr) {
    PostMessageA(window, kSessionOver, 0, 0);
  }
  return result;
}

// Ctrl-C and a termination request close the window as its close box would.
void StartCloseBoxOnSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) != 0) return;
      HWND dialog = shownDialog.load();
      if (dialog != nullptr) PostMessageA(dialog, WM_CLOSE, 0, 0);
    }
  }).detach();
}

}  // namespace

void InstallHeadlessOperator(const ProgramOptions& options) {
  ui::SetMessageBoxAnswer(
      [options](const ui::MessageBoxRequest& request) { return AnswerQuestion(options, request); });
  ui::SetFileDialogAnswer([options](const ui::FileDialogRequest& request) {
    // The log file dialog offers "*.log"; every other is the image file dialog.
    bool logDialog = request.initialName.ends_with(".log") && request.filter.size() > 1 &&
                     request.filter[1] == "*.hlg";
    return logDialog ? options.saveLogPath : options.image;
  });
  ui::SetHeadlessOutput({[](std::string_view text) {
                           std::fwrite(text.data(), 1, text.size(), stdout);
                           std::fflush(stdout);
                           if (text == kFinished && shownDialog.load() != nullptr) {
                             PostMessageA(shownDialog.load(), kSessionOver, 0, 0);
                           }
                         },
                         ShowProgress});
  ui::SetModalBackend([options](const ui::DialogTemplate& dialog, ui::WindowProc proc) {
    return ui::RunHeadlessDialog(dialog,
                                 [options, proc](HWND window, UINT message, WPARAM w, LPARAM l) {
                                   return OperatorProc(options, proc, window, message, w, l);
                                 });
  });
  StartCloseBoxOnSignals();
}
