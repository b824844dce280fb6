// The driver's USB path through libusb beside the simulated one. `libusb`: mdmcore over the
// libusb host controller against the kernel's usbfs emulated in-process (UsbfsTestbed, the
// simulated modem behind its device nodes), on the real clock. `simulated`: mdmcore over the
// simulated host controller in the simulated world, in virtual time. For each:
// - the payload bytes per 1 ms frame while data flows: out, a firmware update of a 64 KiB image
//   from "Sending firmware" to "Checking the flash" (as update_bench counts it); in, 32 KiB of
//   command-mode output the modem sends as fast as the host takes it, from its first bytes at
//   the COM port to its last;
// - the CPU time per status completion while the modem idles: the process's CPU time over the
//   window divided by the status completions in it (on the libusb path the URBs libusb reaped
//   on the status endpoint), the part of it on the processor, where the driver's completions
//   run, and how often the processor's thread blocked waiting for work.
#include <libusb.h>

#include <sys/resource.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/clock/one_cpu.h"
#include "platform/clock/virtual_clock.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pnp.h"
#include "sim/portdrv/modem_port.h"
#include "sim/usbdevice/modem.h"
#include "tests/usbfs/usbfs_testbed.h"
#include "tools/mdmd/usb_kernel.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/usb_update.h"
#include "updater/serial/serial.h"

namespace {

namespace pnp = platform::wdm::pnp;

constexpr std::size_t kImageBytes = 64 * 1024;
constexpr std::size_t kOutputBytes = 32 * 1024;
constexpr int kSettleMs = 500;  // the status chain running before the idle window
constexpr int kIdleMs = 3000;
constexpr UCHAR kStatusEndpoint = 0x81;

// Payload bytes per frame of one direction; negative when not measured.
struct Flow {
  double perFrame = -1;
  bool good = false;  // the image in the flash, or the whole output at the COM port
};

struct Idle {
  std::uint64_t statuses = 0;
  double cpuUs = 0;           // the process's, per status
  double processorUs = 0;     // of it on the processor, per status
  double processorWaits = 0;  // the processor's thread blocked waiting for work, per status
};

struct Figures {
  Flow out;
  Flow in;
  Idle idle;
};

double NowMs() {
  return std::chrono::duration<double, std::milli>(platform::clock::Current().Now()).count();
}

double CpuNs(clockid_t which) {
  timespec now{};
  clock_gettime(which, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// What the processor's thread has used so far: CPU time, and the times it waited for work (each
// wait that blocked is one voluntary switch), read on it.
struct ThreadUse {
  double cpuNs = 0;
  long waits = 0;
};

ThreadUse OnProcessor(platform::wdm::Processor& processor) {
  ThreadUse use;
  processor.Call([&] {
    use.cpuNs = CpuNs(CLOCK_THREAD_CPUTIME_ID);
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    use.waits = usage.ru_nvcsw;
  });
  return use;
}

// `ms` of the current clock with the modem idle; `statuses` counts the status completions.
Idle MeasureIdle(platform::wdm::Processor& processor,
                 const std::function<std::uint64_t()>& statuses, int ms) {
  std::uint64_t firstStatus = statuses();
  ThreadUse first = OnProcessor(processor);
  double firstCpu = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
  Sleep(static_cast<DWORD>(ms));
  double cpu = CpuNs(CLOCK_PROCESS_CPUTIME_ID) - firstCpu;
  ThreadUse last = OnProcessor(processor);
  Idle idle;
  idle.statuses = statuses() - firstStatus;
  if (idle.statuses == 0) return idle;
  auto count = static_cast<double>(idle.statuses);
  idle.cpuUs = cpu / 1000.0 / count;
  idle.processorUs = (last.cpuNs - first.cpuNs) / 1000.0 / count;
  idle.processorWaits = static_cast<double>(last.waits - first.waits) / count;
  return idle;
}

// The modem prints kOutputBytes of other output before its answer to "at", and the host reads
// it all from the COM port. `setOutput` sets that output on the modem's thread. A read ends at a
// pause of a millisecond between bytes, so it returns soon after a data-in packet's bytes come.
Flow CommandOutput(const std::string& com, const std::function<void(std::string)>& setOutput) {
  setOutput(std::string(kOutputBytes, 'o'));
  commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.port = OpenCommPort(com.c_str(), 1);
  const std::string command = "at\r";
  const std::string expected = command + std::string(kOutputBytes, 'o') + "\r\nOK\r\n";
  WriteToComm(reinterpret_cast<const BYTE*>(command.data()), static_cast<LONG>(command.size()));
  std::string received;
  double first = 0;
  double last = 0;
  std::size_t firstBytes = 0;
  while (received.size() < expected.size()) {
    LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, 2000);
    if (count <= 0) break;
    last = NowMs();
    if (received.empty()) {
      first = last;
      firstBytes = static_cast<std::size_t>(count);
    }
    received.append(reinterpret_cast<const char*>(ModemReplyBuffer),
                    static_cast<std::size_t>(count));
  }
  CloseCommPort();
  CloseHandle(commPortSession.readEvent);
  CloseHandle(commPortSession.writeEvent);
  setOutput({});
  Flow flow;
  flow.good = received == expected;
  // The first read's bytes arrived before the clock started.
  if (last > first)
    flow.perFrame = static_cast<double>(received.size() - firstBytes) / (last - first);
  return flow;
}

// The update's log marks the transfer of the image: from "Sending firmware" to "Checking the
// flash". Nearly every byte from the host belongs to it (the AT dialogue is a few dozen).
struct TransferWindow {
  double sending = 0;
  double checking = 0;
  std::function<void(std::string_view)> Watcher() {
    return [this](std::string_view text) {
      if (text == "\r\nSending firmware to modem ...\r\n") sending = NowMs();
      if (text == "\r\nChecking the flash ...\r\n") checking = NowMs();
    };
  }
  double PerFrame(std::uint64_t bytes) const {
    return static_cast<double>(bytes) / std::max(1.0, checking - sending);
  }
};

// mdmcore over the libusb host controller, one emulated modem on the bus, on the real clock.
class LibusbPath {
 public:
  // False (with a message) when the modem could not be started and bound to a COM port.
  bool Start() {
    if (root_.path().empty()) return Fail("no platform root");
    modem_ = std::make_shared<sim::usbdevice::UsbModem>(identity_);
    testbed_.Add(modem_, sim::usbdevice::ModemDescriptors(identity_));
    std::string error;
    usb_ = mdmd::UsbKernel::Load(error);
    if (usb_ == nullptr) return Fail(error.c_str());
    libusb_device** list = nullptr;
    if (libusb_get_device_list(usb_->context(), &list) != 1) return Fail("no device on the bus");
    port_ = usb_->controller().Attach(list[0]);
    libusb_free_device_list(list, 1);
    if (port_ == 0) return Fail("the device did not open");
    pdo_ = usb_->controller().Pdo(port_);
    if (!NT_SUCCESS(usb_->StartModem(pdo_))) return Fail("mdmcore did not start the modem");
    started_ = true;
    com_ = mdmd::BoundComName(mdmsim::Narrow(identity_.serial));
    if (com_.empty()) return Fail("the driver bound no COM port");
    comPort_ =
        sim::portdrv::ModemPort::Create(usb_->processor(), com_, mdmsim::Narrow(identity_.serial));
    return true;
  }

  ~LibusbPath() {
    comPort_.reset();
    if (started_) {
      pnp::StopDevice(pdo_);
      pnp::RemoveDevice(pdo_);
    }
    if (port_ != 0) usb_->controller().Forget(port_);
  }

  Figures Measure() {
    Figures figures;
    Sleep(kSettleMs);
    figures.idle = MeasureIdle(
        usb_->processor(), [&] { return testbed_.Reaped(kStatusEndpoint); }, kIdleMs);
    figures.in = CommandOutput(com_, [&](std::string text) {
      testbed_.WithDevices([&] { modem_->firmware().behaviour().extraText = std::move(text); });
    });
    figures.out = Update();
    return figures;
  }

 private:
  bool Fail(const char* what) {
    std::fprintf(stderr, "usbfs_bench: libusb path: %s\n", what);
    return false;
  }

  Flow Update() {
    std::string image = (root_.path() / "image.bin").string();
    mdmsim::WriteRandomImage(image, kImageBytes, 7);
    mdmsim::SerialUpdate session;
    session.imagePath = image;
    TransferWindow window;
    session.onLog = window.Watcher();
    std::uint64_t before = testbed_.WithDevices([&] { return modem_->bytesFromHost(); });
    mdmsim::RunSessionToEnd(session, thread_);
    Flow flow;
    testbed_.WithDevices([&] {
      flow.perFrame = window.PerFrame(modem_->bytesFromHost() - before);
      flow.good = modem_->firmware().flash().image() == mdmsim::ReadImage(image);
    });
    return flow;
  }

  const sim::usbdevice::ModemIdentity identity_{u"0000C0FFEE01", u"USB Modem", true};
  platform::TemporaryRoot root_{"mdm-bench-"};
  tests::usbfs::UsbfsTestbed testbed_;
  std::shared_ptr<sim::usbdevice::UsbModem> modem_;
  std::optional<platform::clock::ThreadScope> thread_{"dialog"};
  std::unique_ptr<mdmd::UsbKernel> usb_;
  ULONG port_ = 0;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool started_ = false;
  std::string com_;
  std::shared_ptr<sim::portdrv::ModemPort> comPort_;
};

// The update through the simulated stack, as update_bench runs it.
Flow SimulatedUpdate() {
  platform::TemporaryRoot root("mdm-bench-");
  if (root.path().empty()) return {};
  std::string image = (root.path() / "image.bin").string();
  mdmsim::WriteRandomImage(image, kImageBytes, 7);
  mdmsim::UsbUpdate update;
  update.modems.push_back({{mdmsim::SerialFor(0), u"USB Modem", true}, {}});
  update.session.imagePath = image;
  TransferWindow window;
  update.session.onLog = window.Watcher();
  mdmsim::UsbUpdateResult result = mdmsim::RunUsbUpdate(update);
  const mdmsim::UsbModemOutcome& modem = result.modems.at(0);
  return {window.PerFrame(modem.bytesFromHost), result.AllGood() && modem.holdsImage};
}

// The idle window and the command output through the simulated stack, in virtual time.
Figures Simulated() {
  platform::TemporaryRoot root("mdm-bench-");
  if (root.path().empty()) return {};
  platform::vxd::ResetSystem();
  Figures figures;
  {
    platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
    platform::clock::ThreadScope thread("bench");
    sim::world::World world;
    mdmsim::DriverRig rig(world);
    mdmsim::RiggedModem* modem = rig.AddModem("COM3", {mdmsim::SerialFor(0), u"USB Modem", true});
    if (modem == nullptr) return {};
    Sleep(kSettleMs);
    figures.idle = MeasureIdle(
        world.processor(),
        [&] {
          std::uint64_t count = 0;
          world.Call([&] { count = modem->device->statusPackets(); });
          return count;
        },
        kIdleMs);
    figures.in = CommandOutput("COM3", [&](std::string text) {
      world.Call([&] { modem->device->firmware().behaviour().extraText = std::move(text); });
    });
    rig.Shutdown();
  }
  figures.out = SimulatedUpdate();
  return figures;
}

void Print(const char* path, const char* clock, const Figures& figures) {
  std::printf("%-10s %-8s %12.1f %11.1f %9llu %14.2f %14.2f %15.2f  %s\n", path, clock,
              figures.out.perFrame, figures.in.perFrame,
              static_cast<unsigned long long>(figures.idle.statuses), figures.idle.cpuUs,
              figures.idle.processorUs, figures.idle.processorWaits,
              figures.out.good && figures.in.good ? "image held, output whole" : "WRONG");
}

}  // namespace

int main(int argc, char** argv) {
  tests::usbfs::RunUnderUsbfsPreload(argc, argv);
  std::printf("%-10s %-8s %12s %11s %9s %14s %14s %15s  %s\n", "path", "clock", "out B/frame",
              "in B/frame", "statuses", "CPU us/status", "on processor", "processor waits", "data");
  // The libusb path first, on every CPU: its threads run side by side in real time.
  Figures libusb;
  {
    LibusbPath path;
    if (!path.Start()) return 1;
    libusb = path.Measure();
  }
  Print("libusb", "real", libusb);
  // As mdmsim does: the simulation's threads take turns, and on one CPU a turn passes quickly.
  platform::clock::StayOnOneCpu();
  Print("simulated", "virtual", Simulated());
  std::printf(
      "(payload bytes per 1 ms frame, ceiling 62 each way: out while a %zu KiB image is sent, "
      "in while %zu KiB of command-mode output comes; CPU per status completion over %d s of "
      "idle: the whole process's, on the libusb path including the emulated usbfs and "
      "umockdev's preload (the device side), and the part and the blocking waits per status of "
      "the processor's thread, which runs the driver's completions and in the simulated world "
      "the bus and the modem too)\n",
      kImageBytes / 1024, kOutputBytes / 1024, kIdleMs / 1000);
  return 0;
}
