#include "updater/app/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace {

constexpr int kUsageError = 2;

std::optional<bool> YesNo(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text == "yes";
}

}  // namespace

std::optional<int> ParseOptions(int argc, char** argv, ProgramOptions& options) {
  CLI::App app(
      "Updates the firmware of USB modems on the serial ports of the platform root (MDM_ROOT). "
      "Opens its window when a display is available; --headless (or no display) runs the same "
      "program on the terminal, the options below answering its dialogs.",
      "mdmflash");
  app.footer(
      "Environment: MDM_ROOT is the platform root (default $XDG_DATA_HOME/mdm, or "
      "~/.local/share/mdm): its registry's serial-port map (HKLM\\HARDWARE\\DEVICEMAP\\"
      "SERIALCOMM) names the ports, its dosdevices/comN links name their devices. MDM_DEBUG=1 "
      "does what --debug does.\n\n"
      "Exit status without a window: 0 every USB modem found holds the image (with --list: a USB "
      "modem was found), 1 at least one "
      "update failed, was cancelled or could not start, 2 a bad command line, 3 no USB modem "
      "found, 4 the log could not be saved to the --save-log file (the run's own status is then "
      "in its log), 129 stopped by a hang-up of the terminal (SIGHUP), 130 stopped by Ctrl-C "
      "(SIGINT), 143 stopped by SIGTERM.");
  std::string image;
  std::string sameImage;
  std::string confirmCancel;
  std::string saveLog;
  app.add_flag("--version", options.version, "print the version facts and exit");
  app.add_flag("--headless", options.headless, "run without a window");
  app.add_flag("--list", options.list,
               "list the serial ports and each USB modem's answer to \"ati9\", then exit; "
               "updates nothing");
  app.add_flag("--debug", options.debug,
               "copy the debugger output (why a port was skipped, transfer errors) to standard "
               "error, each line time-stamped");
  app.add_option("--image", image, "image file chosen in the image file dialog");
  app.add_option("--same-image", sameImage, "answer to the same-image question")
      ->check(CLI::IsMember({"yes", "no"}));
  app.add_option(
         "--confirm-cancel", confirmCancel,
         "answer to \"Update is running! Cancel it ?\" (on Ctrl-C; SIGTERM cancels unasked)")
      ->check(CLI::IsMember({"yes", "no"}));
  app.add_option("--save-log", saveLog, "append the log record to this file at the end");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "mdmflash: %s\n\n%s", error.what(), app.help().c_str());
    return kUsageError;
  }
  if (!image.empty()) options.image = image;
  options.sameImage = YesNo(sameImage);
  options.confirmCancel = YesNo(confirmCancel);
  if (!saveLog.empty()) options.saveLogPath = saveLog;
  return std::nullopt;
}
