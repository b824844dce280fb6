#include "tools/mdmsim/update.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/clock/virtual_clock.h"
#include "platform/ui/dialogs.h"
#include "platform/win32/inprocess_port.h"
#include "sim/modem/serial_modem.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace mdmsim {
namespace {

struct UpdateOptions {
  std::string link = "serial";
  int modems = 1;
  std::vector<std::string> noModemCode;
  std::vector<std::string> plainPorts;
  std::string image;
  std::string sameImage = "yes";
  unsigned seed = 1;
  bool keepRoot = false;
};

// A fresh platform root for the run, named on stdout so a user can look into it.
std::filesystem::path MakeRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mdmsim-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  ::setenv("MDM_ROOT", pattern.c_str(), 1);
  return pattern;
}

void ListPort(const std::string& name) {
  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>(name.size() + 1));
  RegCloseKey(key);
}

std::string GenerateImage(const std::filesystem::path& root, unsigned seed) {
  std::string path = (root / "firmware.bin").string();
  std::mt19937 random(seed);
  std::string bytes(4096, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// The modems take COM3, COM4, ... (the driver's first port and on), passing over plain ports.
std::vector<std::string> ModemPortNames(const UpdateOptions& options) {
  std::set<std::string> taken(options.plainPorts.begin(), options.plainPorts.end());
  std::vector<std::string> names;
  for (int number = 3; static_cast<int>(names.size()) < options.modems; ++number) {
    std::string name = "COM" + std::to_string(number);
    if (!taken.contains(name)) names.push_back(name);
  }
  return names;
}

bool SessionOver() {
  std::string log = LogText();
  return (!log.empty() && updateWorkerThread == nullptr) || log.ends_with("Update finished!\r\n");
}

int RunUpdate(const UpdateOptions& options) {
  std::filesystem::path root = MakeRoot();
  if (root.empty()) {
    std::fprintf(stderr, "mdmsim: cannot make a platform root\n");
    return 1;
  }
  std::string image = options.image.empty() ? GenerateImage(root, options.seed) : options.image;
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope dialogThread("dialog");
  RegisterUpdaterStrings();
  ui::SetFileDialogAnswer([&image](const ui::FileDialogRequest&) { return image; });
  int sameImage = options.sameImage == "yes" ? IDYES : IDNO;
  ui::SetMessageBoxAnswer([sameImage](const ui::MessageBoxRequest&) { return sameImage; });

  std::vector<std::shared_ptr<platform::win32::InProcessPort>> ports;
  for (const std::string& name : options.plainPorts) {
    ListPort(name);
    ports.push_back(platform::win32::InProcessPort::Create(name));
  }
  std::set<std::string> bare(options.noModemCode.begin(), options.noModemCode.end());
  for (const std::string& name : ModemPortNames(options)) {
    ListPort(name);
    ports.push_back(platform::win32::InProcessPort::Create(name));
    sim::modem::SerialModem::Attach(ports.back(), {.hasModemCode = !bare.contains(name)});
  }

  CFlashUpdateDlg dialog;
  CreateUpdateDialog(dialog, [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  });
  ui::PumpMessages(SessionOver);
  StopSession();
  DestroyUpdateDialog(dialog);
  ui::SetFileDialogAnswer({});
  ui::SetMessageBoxAnswer({});
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock.clock().Now()).count();
  std::printf("\n[mdmsim] session over after %lld ms of virtual time; platform root %s\n",
              static_cast<long long>(ms), options.keepRoot ? root.c_str() : "removed");
  if (!options.keepRoot) std::filesystem::remove_all(root);
  return 0;
}

}  // namespace

void AddUpdateCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<UpdateOptions>();
  CLI::App* update = app.add_subcommand(
      "update", "Run a whole update session headless in virtual time and print its log.");
  update->add_option("--link", options->link, "how the modems are attached")
      ->check(CLI::IsMember({"serial"}));
  update->add_option("--modems", options->modems, "number of simulated modems (COM3 and on)")
      ->check(CLI::Range(0, 10));
  update
      ->add_option("--no-modem-code", options->noModemCode,
                   "ports whose modem holds no modem code, e.g. COM4")
      ->delimiter(',');
  update
      ->add_option("--plain-ports", options->plainPorts,
                   "serial ports that answer nothing, e.g. COM1,COM2")
      ->delimiter(',');
  update->add_option("--image", options->image, "firmware image (default: generated)")
      ->check(CLI::ExistingFile);
  update->add_option("--same-image", options->sameImage, "answer to the same-image question")
      ->check(CLI::IsMember({"yes", "no"}));
  update->add_option("--seed", options->seed, "seed of the generated image");
  update->add_flag("--keep-root", options->keepRoot, "keep the platform root afterwards");
  update->callback([options, &result] { result = RunUpdate(*options); });
}

}  // namespace mdmsim
