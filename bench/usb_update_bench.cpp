// A whole firmware update through the driver stack (COM port, serial-port driver, mdmcore, host
// controller, USB modem), in virtual time: how long the update takes (virtual) and how long the
// simulation takes to run it (wall). Compare with serial_update_bench for the driver's share.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/usb_update.h"

namespace {

struct Figures {
  long long virtualMs;
  double wallMs;
  bool good;
};

Figures Measure(std::size_t imageSize) {
  std::string pattern = (std::filesystem::temp_directory_path() / "mdm-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::exit(1);
  ::setenv("MDM_ROOT", pattern.c_str(), 1);
  std::string image = pattern + "/image.bin";
  std::mt19937 random(7);
  std::string bytes(imageSize, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(image, std::ios::binary) << bytes;

  mdmsim::UsbUpdate update;
  update.modems.push_back({{mdmsim::SerialFor(0), u"USB Modem", true}, {}});
  update.session.imagePath = image;
  auto start = std::chrono::steady_clock::now();
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
  std::filesystem::remove_all(pattern);
  return {result.virtualMs, wall.count(), result.AllGood() && result.modems.at(0).holdsImage};
}

}  // namespace

int main() {
  std::printf("%-10s %14s %12s %14s %s\n", "image", "virtual (ms)", "wall (ms)", "virtual/wall",
              "flash");
  for (std::size_t size : {std::size_t{64} * 1024, std::size_t{1024} * 1024}) {
    Figures figures = Measure(size);
    std::printf("%-10s %14lld %12.1f %14.1f %s\n", size >= 1024 * 1024 ? "1 MiB" : "64 KiB",
                figures.virtualMs, figures.wallMs,
                static_cast<double>(figures.virtualMs) / figures.wallMs,
                figures.good ? "holds the image, pool empty" : "WRONG");
  }
  return 0;
}
