// A whole firmware update of one modem that answers at once, in virtual time, through the
// whole driver stack (COM port, serial-port driver, mdmcore, host controller, USB modem) and,
// for comparison, on a serial line at 56000 baud: how long the update takes (virtual) and how
// long the simulation needs to run it (wall).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/usb_update.h"

namespace {

struct Figures {
  long long virtualMs = 0;
  bool good = false;
};

using Run = std::function<Figures(const std::string& image)>;

Figures ThroughUsb(const std::string& image) {
  mdmsim::UsbUpdate update;
  update.modems.push_back({{mdmsim::SerialFor(0), u"USB Modem", true}, {}});
  update.session.imagePath = image;
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  return {result.virtualMs, result.AllGood() && result.modems.at(0).holdsImage};
}

Figures OnTheSerialLine(const std::string& image) {
  mdmsim::SerialUpdate update;
  update.modems.push_back({"COM3", {}});
  update.imagePath = image;
  mdmsim::SerialUpdateResult result = mdmsim::RunSerialUpdate(update);
  return {result.virtualMs, result.modems.at(0).holdsImage};
}

// One update in a fresh platform root with a random image of `size` bytes.
void Measure(const char* link, const Run& run, std::size_t size) {
  std::string root = (std::filesystem::temp_directory_path() / "mdm-bench-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) std::exit(1);
  ::setenv("MDM_ROOT", root.c_str(), 1);
  std::string image = root + "/image.bin";
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(image, std::ios::binary) << bytes;

  auto start = std::chrono::steady_clock::now();
  Figures figures = run(image);
  double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::filesystem::remove_all(root);
  std::printf("%-8s %-8s %14lld %12.1f %14.1f %s\n", link, size >= 1024 * 1024 ? "1 MiB" : "64 KiB",
              figures.virtualMs, wallMs, static_cast<double>(figures.virtualMs) / wallMs,
              figures.good ? "holds the image" : "WRONG");
}

}  // namespace

int main() {
  std::printf("%-8s %-8s %14s %12s %14s %s\n", "link", "image", "virtual (ms)", "wall (ms)",
              "virtual/wall", "flash");
  for (std::size_t size : {std::size_t{64} * 1024, std::size_t{1024} * 1024}) {
    Measure("usb", ThroughUsb, size);
    Measure("serial", OnTheSerialLine, size);
  }
  return 0;
}
