// mdmflash: the program's entry builds the one application object's run: the string resources,
// the backend that shows the dialog (the window when a display can be opened, otherwise the
// terminal), then InitInstance.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/base/abrupt_end.h"
#include "platform/base/version.h"
#include "platform/ui/window_backend.h"
#include "platform/win32/debug.h"
#include "updater/app/app.h"
#include "updater/app/headless.h"
#include "updater/app/list.h"
#include "updater/app/options.h"
#include "updater/app/version.h"
#include "updater/dialog/strings.h"
#include "updater/session/session.h"

namespace {

// The project's version first, then the modem dialogue the program speaks and the facts of its
// version resource, which keep the figures the resource has always carried.
void PrintVersion() {
  const char* resource =
      "Version resource: " MDMFLASH_FILE_DESCRIPTION ", " MDMFLASH_PRODUCT_NAME
      ", internal name " MDMFLASH_INTERNAL_NAME ", file version " MDMFLASH_FILE_VERSION
      " (" MDMFLASH_FILE_VERSION_NUMBER "), product version " MDMFLASH_PRODUCT_VERSION;
  platform::PrintVersion(
      "mdmflash",
      {"Modem dialogue: identification \"ati9\", download mode \"at@d\" (or \"x\"), the image "
       "sent with the update's ZModem subset, at 56000 bit/s on the modem's serial port.",
       resource});
}

}  // namespace

int main(int argc, char** argv) {
  // No thread or memory where the program cannot go on without: one line, the status of an
  // update that could not go on.
  platform::EndAbruptlyButCleanly("mdmflash", kExitNotUpdated);
  ProgramOptions options;
  if (auto exitCode = ParseOptions(argc, argv, options)) return *exitCode;
  if (options.version) {
    PrintVersion();
    return 0;
  }
  platform::ShowDebugOutput(options.debug, {&platform::win32::ProgramDebugSink()});
  const bool debugShown = options.debug || platform::DebugAskedByEnvironment();
  RegisterUpdaterStrings();
  if (options.list) {
    int status = ListModems();
    if (status == kExitNoModem && !debugShown && updateSession.portCount > 0 &&
        !portListUnreadable) {
      std::fputs("mdmflash: no USB modem found; --debug says why each port was skipped\n", stderr);
    }
    return status;
  }
  bool window = !options.headless && ui::StartWindowBackend(argc, argv);
  if (!window) InstallHeadlessOperator(options);
  theApp.InitInstance();
  if (window) {
    ui::StopWindowBackend();
    return 0;
  }
  return FinishHeadless(debugShown);
}
