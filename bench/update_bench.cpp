// A whole firmware update of one modem that answers at once, in virtual time, through the
// whole driver stack (COM port, serial-port driver, mdmcore, host controller, USB modem) and,
// for comparison, on a serial line at 56000 baud: how long the update takes (virtual) and how
// long the simulation needs to run it (wall). Through USB also the payload bytes per 1 ms frame
// of the data paths while the image is sent (from "Sending firmware" to "Checking the flash"),
// next to the 62-byte ceiling of one data packet per frame.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/clock/one_cpu.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/usb_update.h"

namespace {

struct Figures {
  long long virtualMs = 0;
  bool good = false;
  double outPerFrame = -1;  // host to modem, during the transfer; negative: not measured
  double inPerFrame = -1;
  long long handovers = -1;  // the clock's turn passing between threads; negative: not counted
};

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(platform::clock::Current().Now())
      .count();
}

using Run = std::function<Figures(const std::string& image)>;

Figures ThroughUsb(const std::string& image) {
  mdmsim::UsbUpdate update;
  update.modems.push_back({{mdmsim::SerialFor(0), u"USB Modem", true}, {}});
  update.session.imagePath = image;
  long long sending = 0;
  long long checking = 0;
  update.session.onLog = [&](std::string_view text) {
    if (text == "\r\nSending firmware to modem ...\r\n") sending = NowMs();
    if (text == "\r\nChecking the flash ...\r\n") checking = NowMs();
  };
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  const mdmsim::UsbModemOutcome& modem = result.modems.at(0);
  // Nearly every byte of the session belongs to the transfer (the AT dialogue is a few dozen).
  double frames = static_cast<double>(std::max(1LL, checking - sending));
  return {result.virtualMs, result.AllGood() && modem.holdsImage,
          static_cast<double>(modem.bytesFromHost) / frames,
          static_cast<double>(modem.bytesToHost) / frames,
          static_cast<long long>(result.handovers)};
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
  platform::TemporaryRoot root("mdm-bench-");
  if (root.path().empty()) std::exit(1);
  std::string image = (root.path() / "image.bin").string();
  mdmsim::WriteRandomImage(image, size, 7);

  auto start = std::chrono::steady_clock::now();
  Figures figures = run(image);
  double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  char perFrame[32] = "-";
  char handovers[24] = "-";
  if (figures.outPerFrame >= 0) {
    std::snprintf(perFrame, sizeof(perFrame), "%.1f / %.1f", figures.outPerFrame,
                  figures.inPerFrame);
  }
  if (figures.handovers >= 0)
    std::snprintf(handovers, sizeof(handovers), "%lld", figures.handovers);
  std::printf("%-8s %-8s %14lld %12.1f %14.1f %16s %12s  %s\n", link,
              size >= 1024 * 1024 ? "1 MiB" : "64 KiB", figures.virtualMs, wallMs,
              static_cast<double>(figures.virtualMs) / wallMs, perFrame, handovers,
              figures.good ? "holds the image" : "WRONG");
}

}  // namespace

int main() {
  // As mdmsim does: the simulation's threads take turns, and on one CPU a turn passes quickly.
  bool oneCpu = platform::clock::StayOnOneCpu();
  std::printf("%s\n", oneCpu ? "(the simulation kept on one CPU)" : "(on all CPUs)");
  std::printf("%-8s %-8s %14s %12s %14s %16s %12s  %s\n", "link", "image", "virtual (ms)",
              "wall (ms)", "virtual/wall", "out/in B/frame", "hand-overs", "flash");
  for (std::size_t size : {std::size_t{64} * 1024, std::size_t{1024} * 1024}) {
    Measure("usb", ThroughUsb, size);
    Measure("serial", OnTheSerialLine, size);
  }
  std::printf(
      "(payload bytes per 1 ms frame while the image is sent, ceiling 62 each way; "
      "hand-overs: times the virtual clock's turn went to another thread)\n");
  return 0;
}
