#include "updater/app/headless.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/base/console.h"
#include "platform/ui/dialog_box.h"
#include "platform/ui/dialogs.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace {

// Posted to the dialog when the session has nothing more to do.
constexpr UINT kSessionOver = WM_USER + 0x200;
// Posted to the dialog when a stop request arrived; wParam is the request.
constexpr UINT kStopRequested = WM_USER + 0x201;
constexpr char kFinished[] = "Update finished!\r\n";
constexpr char kCompleted[] = "\r\nUpdate completed successfully!\r\n";

std::atomic<HWND> shownDialog{nullptr};
using platform::StopRequest;
std::atomic<StopRequest> pendingRequest{StopRequest::kNone};  // not yet handed to the dialog
std::atomic<StopRequest> stoppedBy{StopRequest::kNone};       // the request that closed it
std::atomic<bool> terminating{false};  // SIGTERM: the running update is cancelled unasked
std::atomic<bool> closeRefused{false};
std::atomic<bool> progressOpen{false};  // the progress line has no line end yet
std::atomic<bool> sessionFinished{false};
std::atomic<int> completedUpdates{0};
std::string logPathGiven;  // --save-log as given, for the line that says it was not saved

// The question's text picks the option that answers it; an unanswered question is No.
int AnswerQuestion(const ProgramOptions& options, const ui::MessageBoxRequest& request) {
  char text[256];
  if (LoadStringA(moduleInstance, IDS_CANCEL_RUNNING, text, sizeof(text)) > 0 &&
      request.text == text) {
    bool cancel = terminating.load() || options.confirmCancel.value_or(false);
    if (!cancel) closeRefused = true;
    return cancel ? IDYES : IDNO;
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
  progressOpen = bar.position < bar.high;
  if (!progressOpen) std::fputc('\n', stderr);
  std::fflush(stderr);
}

void SaveLogIfAsked(const ProgramOptions& options, HWND window) {
  if (options.saveLogPath) {
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_SAVE_LOG, BN_CLICKED), 0);
  }
}

// The close box, pressed for a stop request; once the dialog has agreed to close, the log record
// is saved while its window still holds the log.
void StopForRequest(const ProgramOptions& options, HWND window, StopRequest request) {
  if (stoppedBy.load() != StopRequest::kNone) return;
  // A hung-up terminal stops the session as a termination request does.
  if (request != StopRequest::kInterrupt) terminating = true;
  closeRefused = false;
  SendMessageA(window, WM_CLOSE, 0, 0);
  if (closeRefused.load()) return;  // Ctrl-C answered No: the update goes on
  stoppedBy = request;
  SaveLogIfAsked(options, window);
}

// Hands a pending request to the dialog exactly once, whichever thread sees both first.
void DeliverPendingRequest() {
  HWND dialog = shownDialog.load();
  if (dialog == nullptr) return;
  if (StopRequest request = pendingRequest.exchange(StopRequest::kNone);
      request != StopRequest::kNone) {
    PostMessageA(dialog, kStopRequested, static_cast<WPARAM>(request), 0);
  }
}

// The session is over when the search started no worker, or the worker reported the end.
LRESULT OperatorProc(const ProgramOptions& options, const ui::WindowProc& proc, HWND window,
                     UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSessionOver) {
    if (stoppedBy.load() != StopRequest::kNone) return 0;
    SaveLogIfAsked(options, window);
    return SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  if (message == kStopRequested) {
    StopForRequest(options, window, static_cast<StopRequest>(wParam));
    return 0;
  }
  if (message == WM_INITDIALOG) shownDialog = window;
  LRESULT result = proc(window, message, wParam, lParam);
  if (message == WM_INITDIALOG) DeliverPendingRequest();
  if (message == startMessage && updateWorkerThread == nullptr) {
    PostMessageA(window, kSessionOver, 0, 0);
  }
  return result;
}

// Ctrl-C presses the close box (the running update's question answered by --confirm-cancel); a
// termination request or a hang-up presses it with the question answered Yes. A closed standard
// output is only a failed write (SIGPIPE ignored): the update goes on and its log is saved.
void StartCloseBoxOnStopRequests() {
  platform::IgnoreBrokenPipes();
  platform::HandStopRequestsTo([](StopRequest request) {
    pendingRequest = request;
    DeliverPendingRequest();
  });
}

}  // namespace

void InstallHeadlessOperator(const ProgramOptions& options) {
  // A fresh run: nothing counted, no signal taken.
  shownDialog = nullptr;
  pendingRequest = StopRequest::kNone;
  stoppedBy = StopRequest::kNone;
  terminating = false;
  progressOpen = false;
  sessionFinished = false;
  completedUpdates = 0;
  logSaveFailed = false;
  logPathGiven = options.saveLogPath.value_or("");
  ui::SetMessageBoxAnswer(
      [options](const ui::MessageBoxRequest& request) { return AnswerQuestion(options, request); });
  ui::SetFileDialogAnswer([options](const ui::FileDialogRequest& request) {
    // The log file dialog is told by its title; every other is the image file dialog.
    char logTitle[64];
    bool logDialog =
        LoadStringA(moduleInstance, IDS_SAVE_LOG_TITLE, logTitle, sizeof(logTitle)) > 0 &&
        request.title == logTitle;
    return logDialog ? options.saveLogPath : options.image;
  });
  // The log's text goes out as it is, its CR LF line ends included.
  platform::WriteStandardOutputAsIs();
  ui::SetHeadlessOutput({[](std::string_view text) {
                           std::fwrite(text.data(), 1, text.size(), stdout);
                           std::fflush(stdout);
                           if (text == kCompleted) ++completedUpdates;
                           if (text == kFinished) sessionFinished = true;
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
  StartCloseBoxOnStopRequests();
}

int FinishHeadless(bool debugShown) {
  if (progressOpen.exchange(false)) std::fputc('\n', stderr);
  if (logSaveFailed)
    std::fprintf(stderr, "%s: the log was not saved to %s\n", programName, logPathGiven.c_str());
  if (StopRequest request = stoppedBy.load(); request != StopRequest::kNone) {
    std::fprintf(stderr, "%s: stopped by %s, the update was cancelled\n", programName,
                 platform::StopRequestName(request));
    return ExitStatusFor(request);
  }
  if (logSaveFailed) return kExitLogNotSaved;
  if (updateSession.modemCount == 0) {
    // The log already says why when there was no port to look at.
    if (!debugShown && updateSession.portCount > 0 && !portListUnreadable) {
      std::fprintf(stderr, "%s: no USB modem found; --debug says why each port was skipped\n",
                   programName);
    }
    return kExitNoModem;
  }
  bool allUpdated = sessionFinished.load() && completedUpdates.load() == updateSession.modemCount;
  return allUpdated ? kExitUpdated : kExitNotUpdated;
}
