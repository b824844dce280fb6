#include "tools/mdmsim/demo.h"
#include "platform/base/root.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/mdmsim/chat.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/usb_update.h"

namespace mdmsim {
namespace {

std::string GenerateImage(const std::filesystem::path& root) {
  std::string path = (root / "firmware.bin").string();
  WriteRandomImage(path, 16 * 1024, 2026);
  return path;
}

int RunDemo() {
  // A fresh platform root that stays for the user to look at.
  platform::TemporaryRoot platformRoot("mdm-demo-");
  const std::filesystem::path& root = platformRoot.path();
  if (root.empty()) return 1;
  platformRoot.Keep();
  std::printf(
      "== Two USB modems identify themselves through the driver stack (COM port,\n"
      "   serial-port driver, mdmcore, host controller), in virtual time.\n\n");
  int result = ChatThroughDriver({"ati9"}, 2);

  std::printf(
      "\n== A whole firmware update through the driver stack: a plain port COM1 and two\n"
      "   USB modems, which the driver binds to COM3 and COM4, one generated 16 KiB image.\n\n");
  UsbUpdate update;
  update.session.plainPorts = {"COM1"};
  update.session.imagePath = GenerateImage(root);
  update.session.onLog = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  for (int i = 0; i < 2; ++i) update.modems.push_back({{SerialFor(i), u"USB Modem", true}, {}});
  UsbUpdateResult outcome = RunUsbUpdate(update);
  std::printf("\n[demo] session over after %lld ms of virtual time\n",
              static_cast<long long>(outcome.virtualMs));
  for (const UsbModemOutcome& modem : outcome.modems) {
    std::printf("[demo] %s (USB modem %s): %s\n", modem.port.c_str(), modem.serial.c_str(),
                modem.holdsImage ? "holds the image byte for byte" : "does NOT hold the image");
  }
  std::printf("[demo] %s", outcome.poolReport.c_str());
  if (!outcome.AllGood()) result = 1;
  std::printf(
      "[demo] platform root: %s\n"
      "[demo]   the registry the driver wrote:  MDM_ROOT=%s build/mdmreg export\n"
      "[demo]   the Start-menu shortcuts:       MDM_ROOT=%s build/mdmlinks, then look in\n"
      "[demo]                                   %s/Start Menu/Programs\n",
      root.c_str(), root.c_str(), root.c_str(), root.c_str());
  return result;
}

}  // namespace

void AddDemoCommand(CLI::App& app, int& result) {
  CLI::App* demo = app.add_subcommand(
      "demo",
      "The main job: USB modems answering through the driver stack, then a whole firmware "
      "update of two modems through it beside a plain port, with the log and a summary.");
  demo->callback([&result] { result = RunDemo(); });
}

}  // namespace mdmsim
