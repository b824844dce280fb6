#include "tools/mdmsim/update.h"
#include "platform/base/root.h"
#include "platform/clock/trace.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/core/devext.h"
#include "platform/win32/files.h"
#include "tools/mdmsim/faults.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/sweep.h"
#include "tools/mdmsim/usb_update.h"
#include "updater/session/session.h"

namespace mdmsim {
namespace {

constexpr int kUsageError = 2;

struct UpdateOptions {
  std::string link = "usb";
  int modems = 1;
  std::vector<std::string> noModemCode;
  std::vector<std::string> plainPorts;
  std::vector<std::string> faults;
  std::string image;
  std::string sameImage = "yes";
  std::optional<unsigned> seed;
  bool keepRoot = false;
  bool gui = false;
  int guiHoldMs = 3000;
};

// The default image: 4 KiB of the same pseudo-random bytes every time.
std::string GenerateImage(const std::filesystem::path& root) {
  std::string path = (root / "firmware.bin").string();
  WriteRandomImage(path, 4096, 1);
  return path;
}

// The modems take COM3, COM4, ... (the driver's first port and on); at the serial level they pass
// over plain ports, through USB the driver numbers them itself.
std::vector<ModemSetup> Modems(const UpdateOptions& options) {
  std::set<std::string> taken;
  if (options.link == "serial") taken.insert(options.plainPorts.begin(), options.plainPorts.end());
  std::set<std::string> bare(options.noModemCode.begin(), options.noModemCode.end());
  std::vector<ModemSetup> modems;
  for (int number = 3; static_cast<int>(modems.size()) < options.modems; ++number) {
    std::string name = "COM" + std::to_string(number);
    if (taken.contains(name)) continue;
    modems.push_back({name, {.hasModemCode = !bare.contains(name)}});
  }
  for (const std::string& text : options.faults) {
    FaultChoice choice = ParseFaultChoice(text);
    for (ModemSetup& modem : modems) {
      bool hits = choice.port.empty() || choice.port == modem.port;
      if (hits && choice.fault->apply != nullptr) choice.fault->apply(modem.behaviour);
    }
  }
  return modems;
}

const char* Verdict(const ModemOutcome& modem) {
  return !modem.offered     ? "was not offered an image"
         : modem.holdsImage ? "holds the image byte for byte"
                            : "does NOT hold the image";
}

// One line per modem; true when every modem offered an image holds it.
bool Report(const SerialUpdateResult& result) {
  bool allGood = true;
  for (const ModemOutcome& modem : result.modems) {
    std::printf("[mdmsim] %s: %s\n", modem.port.c_str(), Verdict(modem));
    allGood = allGood && (!modem.offered || modem.holdsImage);
  }
  return allGood;
}

// One line per modem with its serial number, then the driver's pool after the unload.
bool Report(const UsbUpdateResult& result) {
  for (const UsbModemOutcome& modem : result.modems) {
    std::printf("[mdmsim] %s (USB modem %s): %s%s%s\n", modem.port.c_str(), modem.serial.c_str(),
                modem.startRetried ? "its first start failed, plugged in again; " : "",
                modem.pulledOut ? "pulled out during the session; " : "",
                modem.started ? Verdict(modem) : "NOT started by the driver");
  }
  if (!result.driverStopped) std::printf("[mdmsim] the driver did NOT stop cleanly\n");
  std::printf("[mdmsim] %s", result.poolReport.c_str());
  return result.AllGood();
}

// Through the whole driver stack: each modem a USB device with its own serial number, its
// firmware faults in its behaviour and the faults of its USB side as events. The run is checked
// for what must hold whatever the faults did.
// The digest of every bus, request and COM-port event of the run, with its virtual time: the
// same scenario and seed give the same digest on any machine, however loaded.
void PrintTraceDigest() {
  platform::trace::Digest digest = platform::trace::Current();
  std::printf("[mdmsim] trace digest %016llx over %llu events\n",
              static_cast<unsigned long long>(digest.hash),
              static_cast<unsigned long long>(digest.events));
}

bool RunThroughUsb(const SerialUpdate& session, const std::vector<ModemSetup>& modems,
                   const std::vector<std::string>& faults) {
  UsbUpdate update = UpdateWithFaults(static_cast<int>(modems.size()), faults);
  update.session = session;
  for (std::size_t i = 0; i < modems.size(); ++i) {
    update.modems[i].behaviour.hasModemCode = modems[i].behaviour.hasModemCode;
  }
  UsbUpdateResult result;
  platform::trace::Start();
  std::vector<std::string> problems = RunChecked(update, faults, &result);
  std::printf("\n[mdmsim] session over after %lld ms of virtual time\n",
              static_cast<long long>(result.virtualMs));
  PrintTraceDigest();
  bool allGood = Report(result);
  for (const std::string& problem : problems) {
    std::printf("[mdmsim] CHECK FAILED: %s\n", problem.c_str());
  }
  return allGood && problems.empty();
}

bool RunAtSerialLevel(SerialUpdate update, const std::vector<ModemSetup>& modems) {
  update.modems = modems;
  platform::trace::Start();
  SerialUpdateResult result = RunSerialUpdate(update);
  std::printf("\n[mdmsim] session over after %lld ms of virtual time\n",
              static_cast<long long>(result.virtualMs));
  PrintTraceDigest();
  return Report(result);
}

// Faults of the bus and the modems' USB side need the driver stack.
bool UsbFaultsAtSerialLevel(const UpdateOptions& options) {
  if (options.link == "usb") return false;
  for (const std::string& text : options.faults) {
    if (ParseFaultChoice(text).fault->apply == nullptr) {
      std::fprintf(stderr, "mdmsim: the fault %s needs --link usb\n", text.c_str());
      return true;
    }
  }
  return false;
}

// The driver's device table has a slot for each USB modem it keeps; one more is never started.
// At the serial level the updater's port table is the bound.
int MostModems(const std::string& link) {
  return link == "usb" ? kWorkerSlots : kMaxPorts;
}

bool TooManyModems(const UpdateOptions& options) {
  if (options.modems <= MostModems(options.link)) return false;
  std::fprintf(stderr, "mdmsim: --modems %d: at most %d through --link %s\n", options.modems,
               MostModems(options.link), options.link.c_str());
  return true;
}

// A fault aimed at a port that no modem has would never strike, and its run would prove nothing.
bool FaultMissesEveryModem(const UpdateOptions& options, const std::vector<ModemSetup>& modems) {
  for (const std::string& text : options.faults) {
    FaultChoice choice = ParseFaultChoice(text);
    bool hits = choice.port.empty();
    for (const ModemSetup& modem : modems) hits = hits || modem.port == choice.port;
    if (!hits) {
      std::fprintf(stderr, "mdmsim: --fault %s: no modem on %s\n", text.c_str(),
                   choice.port.c_str());
      return true;
    }
  }
  return false;
}

// Through USB the driver binds the modems to COM3 and on, so plain ports must keep clear.
bool PlainPortsClash(const UpdateOptions& options, const std::vector<ModemSetup>& modems) {
  if (options.link != "usb") return false;
  for (const ModemSetup& modem : modems) {
    for (const std::string& plain : options.plainPorts) {
      if (plain == modem.port) {
        std::fprintf(stderr, "mdmsim: %s is a modem's port through USB\n", plain.c_str());
        return true;
      }
    }
  }
  return false;
}

int RunUpdate(const UpdateOptions& options) {
  if (TooManyModems(options)) return kUsageError;
  platform::TemporaryRoot platformRoot("mdmsim-");
  const std::filesystem::path& root = platformRoot.path();
  if (root.empty()) {
    std::fprintf(stderr, "mdmsim: cannot make a platform root\n");
    return 1;
  }
  // Kept from the start, so that a run stopped by a signal leaves it too.
  if (options.keepRoot) platformRoot.Keep();
  UpdateOptions run = options;
  std::string image = options.image;
  if (options.seed) {
    // The modems, the image and the faults of the seed's run, plus any faults given.
    DrawnRun drawn = DrawRun(*options.seed);
    std::printf("[mdmsim] %s\n", drawn.Describe().c_str());
    run.modems = drawn.modems;
    run.faults.insert(run.faults.end(), drawn.faults.begin(), drawn.faults.end());
    if (image.empty()) {
      image = (root / "firmware.bin").string();
      WriteDrawnImage(drawn, image);
    }
  }
  std::vector<ModemSetup> modems = Modems(run);
  if (FaultMissesEveryModem(run, modems)) return kUsageError;
  if (PlainPortsClash(run, modems) || UsbFaultsAtSerialLevel(run)) return 1;
  SerialUpdate update;
  update.plainPorts = options.plainPorts;
  update.imagePath = image.empty() ? GenerateImage(root) : image;
  update.sameImage = options.sameImage == "yes";
  update.gui = options.gui;
  update.guiHoldMs = options.guiHoldMs;
  update.onLog = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  bool allGood = run.link == "usb" ? RunThroughUsb(update, modems, run.faults)
                                   : RunAtSerialLevel(update, modems);
  if (options.keepRoot) std::printf("[mdmsim] platform root kept in %s\n", root.c_str());
  return allGood ? 0 : 1;
}

}  // namespace

// A file to read must be a regular file: reading a pipe or a device may block or never end.
std::string RegularFile(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) return {};
  if (!std::filesystem::exists(path, error)) return "no such file: " + path;
  return "not a regular file: " + path;
}

namespace {

// The updater sends at most 2 GiB - 1 bytes (its count is a signed 32-bit number): a larger image
// is refused here, before anything reads it.
constexpr std::uintmax_t kLargestImage = 0x7FFFFFFF;

std::string ImageFile(const std::string& path) {
  if (std::string why = RegularFile(path); !why.empty()) return why;
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return path + ": " + error.message();
  if (size > kLargestImage)
    return "larger than 2 GiB - 1 bytes, which the updater cannot send: " + path;
  return {};
}

// A port name the platform knows (COM1 to COM255): a longer one would end the updater's port list
// where it stands, and the ports after it would never be searched.
std::string PortName(const std::string& name) {
  return platform::win32::IsCommPortName(name.c_str()) ? std::string()
                                                       : "not a port COM1 to COM255: " + name;
}

}  // namespace

void AddUpdateCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<UpdateOptions>();
  CLI::App* update = app.add_subcommand(
      "update",
      "Run a whole update session headless in virtual time and print its log. Exits 0 only "
      "when every modem offered an image holds it byte for byte (and, through USB, no pool "
      "block of the driver is left).\nFaults (--fault NAME or "
      "NAME@PORT, repeatable):\n" +
          FaultHelp());
  update
      ->add_option("--link", options->link,
                   "how the modems are attached: usb (through the driver stack, the default) or "
                   "serial (simulated modems right on the COM ports)")
      ->check(CLI::IsMember({"usb", "serial"}));
  CLI::Option* modems =
      update
          ->add_option(
              "--modems", options->modems,
              "number of simulated modems (COM3 and on): at most " + std::to_string(kWorkerSlots) +
                  " through USB, as the driver keeps that many devices; at most " +
                  std::to_string(kMaxPorts) + " at the serial level, the updater's port table")
          ->check(CLI::Range(0, kMaxPorts));
  update
      ->add_option("--no-modem-code", options->noModemCode,
                   "ports whose modem holds no modem code, e.g. COM4")
      ->delimiter(',')
      ->check(PortName);
  update
      ->add_option("--plain-ports", options->plainPorts,
                   "serial ports that answer nothing, e.g. COM1,COM2")
      ->delimiter(',')
      ->check(PortName);
  update->add_option("--fault", options->faults, "a fault of the simulated modems (see above)")
      ->check([](const std::string& text) { return ParseFaultChoice(text).error; });
  update
      ->add_option("--image", options->image,
                   "firmware image, a regular file under 2 GiB (default: generated)")
      ->check(ImageFile);
  update->add_option("--same-image", options->sameImage, "answer to the same-image question")
      ->check(CLI::IsMember({"yes", "no"}));
  CLI::Option* seed = update->add_option(
      "--seed", options->seed,
      "draw the modems, the image and the faults of a short update from this seed (the fault "
      "sweep's runs); the same seed gives the same run");
  seed->excludes(modems);
  update->add_flag("--gui", options->gui, "show the update dialog's real window (needs a display)");
  update
      ->add_option("--gui-hold", options->guiHoldMs,
                   "wall-time milliseconds the window stays after the session")
      ->check(CLI::Range(0, 600000));
  update->add_flag("--keep-root", options->keepRoot, "keep the platform root afterwards");
  update->callback([options, &result] { result = RunUpdate(*options); });
}

}  // namespace mdmsim
