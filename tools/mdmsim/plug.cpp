#include "tools/mdmsim/plug.h"

#include <cstdio>
#include <memory>
#include <string>

#include "driver/core/devext.h"
#include "platform/clock/virtual_clock.h"
#include "platform/vxd/shell.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/debug.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/verifier.h"
#include "sim/usbdevice/modem.h"
#include "sim/world/world.h"
#include "tools/mdmsim/install_program.h"

namespace mdmsim {
namespace {

namespace pnp = platform::wdm::pnp;

struct PlugOptions {
  std::string serial;
  std::string product = "USB Modem";
  bool debug = false;
};

// UTF-8 text as UTF-16 units (characters beyond the basic plane are not needed here and become
// '?'), so that a serial number may hold characters above 0xFF as a modem's string can.
std::u16string Utf16(const std::string& text) {
  std::u16string units;
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : -1;
    if (extra < 0 || i + extra >= text.size() + (extra == 0 ? 1 : 0)) {
      units += u'?';
      ++i;
      continue;
    }
    char32_t code = extra == 0 ? c : extra == 1 ? (c & 0x1F) : (c & 0x0F);
    for (int k = 1; k <= extra; ++k)
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    units += static_cast<char16_t>(code);
    i += 1 + extra;
  }
  return units;
}

double NowMs() {
  return std::chrono::duration<double, std::milli>(platform::clock::Current().Now()).count();
}

void PrintStep(const char* what, NTSTATUS status) {
  std::printf("%-30s 0x%08X   (%.0f ms)\n", what, static_cast<unsigned>(status), NowMs());
}

void PrintDeviceTable(sim::world::World& world) {
  std::printf("device table:\n");
  world.Call([] {
    ExAcquireFastMutex(&gFastMutex);
    for (int i = 0; i < kWorkerSlots; ++i) {
      const WorkerContext& slot = gpWorkerCnts[i];
      if (slot.device == nullptr) {
        std::printf("  slot %d: (free)\n", i);
      } else {
        std::printf("  slot %d: \"%s\"\n", i, slot.name);
      }
    }
    ExReleaseFastMutex(&gFastMutex);
  });
}

int Scenario(const PlugOptions& options, int& violations) {
  platform::vxd::ResetSystem();
  ProvideInstallProgram();
  sim::world::World world;
  PDRIVER_OBJECT driver = nullptr;
  NTSTATUS status = pnp::LoadDriver(DriverEntry, "mdmcore", &driver);
  PrintStep("load mdmcore (DriverEntry)", status);
  if (!NT_SUCCESS(status)) return 1;
  sim::usbdevice::ModemIdentity identity{Utf16(options.serial), Utf16(options.product), true};
  PDEVICE_OBJECT pdo = world.Plug(std::make_shared<sim::usbdevice::UsbModem>(identity));
  std::printf("plugged: USB\\VID_F3A9&PID_5201, serial \"%s\", product \"%s\"\n",
              options.serial.c_str(), options.product.c_str());
  NTSTATUS add = pnp::AddDevice(driver, pdo);
  PrintStep("AddDevice", add);
  NTSTATUS start = NT_SUCCESS(add) ? pnp::StartDevice(pdo) : add;
  PrintStep("IRP_MN_START_DEVICE", start);
  world.Call([] {});  // the configuration manager enumerates the modem's node after its start
  PrintDeviceTable(world);
  for (const auto& launch : platform::vxd::shell::Launches()) {
    std::printf("shell started: %s %s\n", launch.file.c_str(), launch.parameters.c_str());
  }
  // The modem runs for a second of virtual time (its polling timer ticks meanwhile).
  platform::clock::SleepFor(platform::clock::Milliseconds(1000));
  NTSTATUS stop = pnp::StopDevice(pdo);
  PrintStep("query-stop, stop", stop);
  NTSTATUS remove = pnp::RemoveDevice(pdo);
  PrintStep("query-remove, remove", remove);
  world.Unplug(pdo);
  pnp::UnloadDriver(driver);
  std::printf("mdmcore unloaded\n");
  platform::wdm::pool::Report report = platform::wdm::pool::Outstanding();
  std::printf("%s", platform::wdm::pool::FormatReport(report).c_str());
  bool clean = report.blocks.empty() && report.requests == 0 && violations == 0;
  return NT_SUCCESS(start) && NT_SUCCESS(stop) && NT_SUCCESS(remove) && clean ? 0 : 1;
}

int RunPlug(const PlugOptions& options) {
  if (options.debug) platform::wdm::debug::SetStream(stderr);
  int violations = 0;
  platform::wdm::verifier::SetHandler([&violations](const std::string& text) {
    ++violations;
    std::printf("driver verifier: %s\n", text.c_str());
  });
  int result;
  {
    platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
    platform::clock::ThreadScope thread("mdmsim");
    result = Scenario(options, violations);
  }
  platform::wdm::verifier::SetHandler(nullptr);
  return result;
}

}  // namespace

void AddPlugCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<PlugOptions>();
  CLI::App* plug = app.add_subcommand(
      "plug",
      "Load mdmcore, plug one simulated modem with the given serial number and product name, "
      "start it, print the device table, stop and remove it, unload the driver and print the "
      "pool report.");
  plug->add_option("--serial", options->serial, "the modem's USB serial number (UTF-8)")
      ->required();
  plug->add_option("--product", options->product, "the modem's USB product name")
      ->capture_default_str();
  plug->add_flag("--debug", options->debug, "show the driver's DbgPrint output on stderr");
  plug->callback([options, &result] { result = RunPlug(*options); });
}

}  // namespace mdmsim
