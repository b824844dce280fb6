// mdmflash without a display: the dialog's log on standard output, its progress on one updating
// line of standard error, the dialogs answered from the options, Save Log and Exit done by the
// program itself once the session is over, and Ctrl-C acting as the close box.
#pragma once

#include "updater/app/options.h"

void InstallHeadlessOperator(const ProgramOptions& options);
