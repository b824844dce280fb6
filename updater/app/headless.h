// mdmflash without a display: the dialog's log on standard output, its progress on one updating
// line of standard error, the dialogs answered from the options, Save Log and Exit done by the
// program itself once the session is over, and Ctrl-C acting as the close box.
#pragma once

#include "platform/base/console.h"
#include "updater/app/options.h"

// The exit statuses of a headless run (2 is a bad command line).
constexpr int kExitUpdated = 0;        // every USB modem found holds the image
constexpr int kExitNotUpdated = 1;     // at least one update failed, was cancelled or not started
constexpr int kExitNoModem = 3;        // no USB modem was found
constexpr int kExitLogNotSaved = 4;    // --save-log could not write the log (else 0, 1 or 3)
constexpr int kExitHungUp = 129;       // SIGHUP (the terminal hung up) stopped the session
constexpr int kExitInterrupted = 130;  // Ctrl-C (SIGINT) closed the session
constexpr int kExitTerminated = 143;   // SIGTERM stopped the session

// The status of a run that a stop request ended.
constexpr int ExitStatusFor(platform::StopRequest request) {
  return request == platform::StopRequest::kTerminate ? kExitTerminated
         : request == platform::StopRequest::kHangUp  ? kExitHungUp
                                                      : kExitInterrupted;
}

void InstallHeadlessOperator(const ProgramOptions& options);

// Ends the progress line and gives the run's exit status, once the dialog has closed. When no
// USB modem was found and the debugger output is not shown, one line says where to see why.
int FinishHeadless(bool debugShown = false);
