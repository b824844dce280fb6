// mdmflash: the program's entry builds the one application object's run: the string resources,
// the backend that shows the dialog (the window when a display can be opened, otherwise the
// terminal), then InitInstance.
#include <cstdio>
#include <cstdlib>

#include "platform/base/abrupt_end.h"
#include "platform/ui/window_backend.h"
#include "updater/app/app.h"
#include "updater/app/headless.h"
#include "updater/app/options.h"
#include "updater/app/version.h"
#include "updater/dialog/strings.h"

namespace {

void PrintVersion() {
  std::printf("%s\n%s\nInternal name: %s\nFile version: %s (%s)\nProduct version: %s\n",
              kFileDescription, kProductName, kInternalName, kFileVersion, kFileVersionNumber,
              kProductVersion);
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
  RegisterUpdaterStrings();
  bool window = !options.headless && ui::StartWindowBackend(argc, argv);
  if (!window) InstallHeadlessOperator(options);
  theApp.InitInstance();
  if (window) {
    ui::StopWindowBackend();
    return 0;
  }
  return FinishHeadless();
}
