#include "tools/mdmd/service.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <random>

#include "driver/core/devext.h"
#include "platform/clock/clock.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/pool.h"
#include "sim/portdrv/modem_port.h"
#include "tools/mdmd/usb_kernel.h"
#include "tools/mdmsim/install_program.h"
#include "tools/mdmsim/served_port.h"
#include "tools/mdmsim/stalls.h"

namespace mdmd {

namespace pnp = platform::wdm::pnp;
namespace clock = platform::clock;

namespace {

constexpr int kModemVendor = 0xF3A9;
constexpr int kModemProduct = 0x5201;

// A hotplug event, handed from libusb's event thread to the service thread: opening a device
// takes libusb's event lock, which the event thread holds while it reports.
struct UsbEvent {
  bool arrived = false;
  libusb_device* device = nullptr;  // referenced while queued
};

struct Modem {
  libusb_device* device = nullptr;  // referenced while the modem is here
  ULONG port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  std::string serial;
  std::string comName;  // empty: the driver bound no COM port
  std::shared_ptr<sim::portdrv::ModemPort> comPort;
  std::unique_ptr<mdmsim::ServedPort> served;
};

// "bus 1 device 2" for the log.
std::string Where(libusb_device* device) {
  return "bus " + std::to_string(libusb_get_bus_number(device)) + " device " +
         std::to_string(libusb_get_device_address(device));
}

}  // namespace

struct Service::State {
  ServiceOptions options;
  Log log;
  std::unique_ptr<UsbKernel> usb;
  std::optional<mdmsim::ProcessorStalls> stalls;
  bool hotplugRegistered = false;
  libusb_hotplug_callback_handle hotplug = 0;

  std::mutex mutex;  // guards the queue, stopping and the COM names
  std::condition_variable queued;
  std::deque<UsbEvent> events;
  bool stopping = false;
  std::vector<std::string> comNames;

  std::vector<std::unique_ptr<Modem>> modems;  // the service thread's
  std::optional<clock::SpawnedThread> thread;

  static int OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                       void* self);
  bool Begin(std::string& error);
  void Run();
  void Arrive(libusb_device* device);
  bool Named(const std::string& serial, libusb_device* device);
  bool StartModem(Modem& modem);
  void Serve(Modem& modem);
  void Depart(libusb_device* device);
  void StopServing(Modem& modem);
  void Shutdown();
  void PublishComNames();
};

int Service::State::OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                              void* self) {
  auto* state = static_cast<State*>(self);
  std::lock_guard lock(state->mutex);
  if (state->stopping) return 0;
  state->events.push_back(
      {event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, libusb_ref_device(device)});
  state->queued.notify_all();
  return 0;
}

bool Service::State::Begin(std::string& error) {
  mdmsim::ProvideInstallProgram();
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    error = "this libusb cannot report modems arriving and leaving (no hotplug support)";
    return false;
  }
  usb = UsbKernel::Load(error);
  if (usb == nullptr) return false;
  if (options.stalls) {
    std::uint32_t seed = std::random_device()();
    stalls.emplace(*options.stalls, seed);
    log(mdmsim::DescribeStalls(*options.stalls, seed));
  }
  thread = clock::Spawn("mdmd", [this] { Run(); });
  int result = libusb_hotplug_register_callback(
      usb->context(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
      LIBUSB_HOTPLUG_ENUMERATE, kModemVendor, kModemProduct, LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug,
      this, &hotplug);
  if (result != 0) {
    error = std::string("cannot listen for USB modems: ") + libusb_error_name(result);
    return false;
  }
  hotplugRegistered = true;
  return true;
}

void Service::State::Run() {
  for (;;) {
    UsbEvent event;
    {
      std::unique_lock lock(mutex);
      queued.wait(lock, [this] { return stopping || !events.empty(); });
      if (stopping) return;
      event = events.front();
      events.pop_front();
    }
    if (event.arrived) {
      Arrive(event.device);
    } else {
      Depart(event.device);
    }
    libusb_unref_device(event.device);
  }
}

void Service::State::Arrive(libusb_device* device) {
  log("arrival: USB modem on " + Where(device));
  auto modem = std::make_unique<Modem>();
  int error = 0;
  modem->port = usb->controller().Attach(device, &error);
  if (modem->port == 0) {
    log(OpenFailureHint(error, libusb_get_bus_number(device), libusb_get_device_address(device)));
    return;
  }
  if (!Named(usb->controller().SerialNumber(modem->port), device)) {
    usb->controller().Forget(modem->port);
    return;
  }
  modem->device = libusb_ref_device(device);
  modem->pdo = usb->controller().Pdo(modem->port);
  if (!StartModem(*modem)) {
    usb->controller().Forget(modem->port);
    libusb_unref_device(modem->device);
    return;
  }
  Serve(*modem);
  modems.push_back(std::move(modem));
  PublishComNames();
}

// Whether the modem with this serial number is one to serve; one that is not is left alone.
bool Service::State::Named(const std::string& serial, libusb_device* device) {
  if (options.serials.empty()) return true;
  auto same = [&](const std::string& named) {
    return std::equal(
        named.begin(), named.end(), serial.begin(), serial.end(),
        [](unsigned char a, unsigned char b) { return std::toupper(a) == std::toupper(b); });
  };
  if (std::any_of(options.serials.begin(), options.serials.end(), same)) return true;
  log("ignored: USB modem " + (serial.empty() ? "without a serial number" : serial) + " on " +
      Where(device) + ", not named with --serial");
  return false;
}

bool Service::State::StartModem(Modem& modem) {
  NTSTATUS status = usb->StartModem(modem.pdo);
  if (!NT_SUCCESS(status)) {
    char text[64];
    std::snprintf(text, sizeof(text), "mdmcore did not start the modem (0x%08X)",
                  static_cast<unsigned>(status));
    log(text);
    return false;
  }
  modem.serial = Extension(modem.pdo->AttachedDevice)->serialNumber;
  modem.comName = BoundComName(modem.serial);
  return true;
}

void Service::State::Serve(Modem& modem) {
  if (modem.comName.empty()) {
    log("modem " + modem.serial + ": the driver bound no COM port (COM1 to COM9 all taken?)");
    return;
  }
  modem.comPort = sim::portdrv::ModemPort::Create(usb->processor(), modem.comName, modem.serial);
  int number = modem.comName[3] - '0';
  auto tcpPort =
      static_cast<std::uint16_t>(options.rfc2217Base == 0 ? 0 : options.rfc2217Base + number);
  std::string error;
  modem.served = mdmsim::ServedPort::Start(modem.comName, tcpPort, log, error);
  if (modem.served == nullptr) {
    log(modem.comName + ": not served: " + error);
    return;
  }
  std::string line = modem.comName + ": USB modem " + modem.serial + " on " +
                     modem.served->terminal() + " (" + modem.served->link().string() + ")";
  if (tcpPort != 0) line += ", RFC 2217 on 127.0.0.1:" + std::to_string(tcpPort);
  log(line);
}

void Service::State::Depart(libusb_device* device) {
  for (auto it = modems.begin(); it != modems.end(); ++it) {
    Modem& modem = **it;
    if (modem.device != device) continue;
    log("departure: USB modem " + modem.serial + " from " + Where(device) +
        (modem.comName.empty() ? "" : ", " + modem.comName + " no longer served"));
    usb->processor().Call([&] { usb->controller().Unplug(modem.port); });
    pnp::SurpriseRemoveDevice(modem.pdo);
    StopServing(modem);
    pnp::RemoveDevice(modem.pdo);
    usb->controller().Forget(modem.port);
    libusb_unref_device(modem.device);
    modems.erase(it);
    PublishComNames();
    return;
  }
}

void Service::State::StopServing(Modem& modem) {
  modem.served.reset();
  modem.comPort.reset();
}

void Service::State::PublishComNames() {
  std::lock_guard lock(mutex);
  comNames.clear();
  for (const auto& modem : modems) {
    if (modem->served != nullptr) comNames.push_back(modem->comName);
  }
}

void Service::State::Shutdown() {
  if (hotplugRegistered) libusb_hotplug_deregister_callback(usb->context(), hotplug);
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  queued.notify_all();
  if (thread) clock::Join(*thread);
  for (UsbEvent& event : events) libusb_unref_device(event.device);
  events.clear();
  for (auto& modem : modems) {
    StopServing(*modem);
    pnp::StopDevice(modem->pdo);
    pnp::RemoveDevice(modem->pdo);
    usb->controller().Forget(modem->port);
    libusb_unref_device(modem->device);
    log("stopped: USB modem " + modem->serial +
        (modem->comName.empty() ? "" : " on " + modem->comName));
  }
  modems.clear();
  stalls.reset();
  usb.reset();
  std::string report = platform::wdm::pool::FormatReport(platform::wdm::pool::Outstanding());
  if (!report.empty() && report.back() == '\n') report.pop_back();
  log(report);
}

std::unique_ptr<Service> Service::Start(const ServiceOptions& options, Log log,
                                        std::string& error) {
  auto state = std::make_unique<State>();
  state->options = options;
  state->log = std::move(log);
  if (!state->Begin(error)) {
    state->Shutdown();
    return nullptr;
  }
  return std::unique_ptr<Service>(new Service(std::move(state)));
}

Service::Service(std::unique_ptr<State> state) : state_(std::move(state)) {}

Service::~Service() {
  state_->Shutdown();
}

std::vector<std::string> Service::ComPorts() const {
  std::lock_guard lock(state_->mutex);
  return state_->comNames;
}

std::string OpenFailureHint(int libusbError, int bus, int address) {
  char node[32];
  std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", bus, address);
  switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
      return std::string("cannot open ") + node +
             ": no permission; install contrib/60-mdmd.rules in /etc/udev/rules.d, run "
             "'udevadm control --reload && udevadm trigger', and plug the modem in again";
    case LIBUSB_ERROR_BUSY:
      return std::string("cannot open ") + node + ": another program or driver holds the modem";
    case LIBUSB_ERROR_NO_DEVICE:
      return std::string("cannot open ") + node + ": the modem left the bus";
    default:
      return std::string("cannot open ") + node + ": " + libusb_error_name(libusbError);
  }
}

}  // namespace mdmd
