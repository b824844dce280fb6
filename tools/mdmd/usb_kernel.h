// mdmcore loaded over the host controller of a real USB bus (libusb), on the real clock: a
// libusb context, the kernel's processor on a thread of its own, the controller on it and the
// driver, taken down in the reverse order. What mdmd runs, and the tests and benchmarks of the
// same path.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/usb/libusb/libusb_host_controller.h"
#include "platform/wdm/kernel_thread.h"

struct libusb_context;

namespace mdmd {

class UsbKernel {
 public:
  // Starts the platform afresh and loads the driver. Null, with `error` saying in one line what
  // failed, when a part cannot start.
  static std::unique_ptr<UsbKernel> Load(std::string& error);
  // Unloads the driver (its modems stopped, removed and forgotten before) and ends the
  // controller, the kernel's thread and libusb.
  ~UsbKernel();
  UsbKernel(const UsbKernel&) = delete;
  UsbKernel& operator=(const UsbKernel&) = delete;

  libusb_context* context() const { return context_; }
  platform::wdm::KernelThread& kernel() { return *kernel_; }
  platform::wdm::Processor& processor() { return kernel_->processor(); }
  platform::usb::LibusbHostController& controller() { return *controller_; }
  PDRIVER_OBJECT driver() const { return driver_; }

  // The Plug and Play manager adds and starts the modem whose physical device object is `pdo`
  // (removing it again when the start fails); once started, the configuration manager's
  // enumeration has run, so the driver's COM binding is in the registry.
  NTSTATUS StartModem(PDEVICE_OBJECT pdo);

 private:
  UsbKernel() = default;

  libusb_context* context_ = nullptr;
  std::optional<platform::wdm::KernelThread> kernel_;
  std::optional<platform::usb::LibusbHostController> controller_;
  PDRIVER_OBJECT driver_ = nullptr;
};

// The COM port ("COM3") the driver bound the modem with this serial number to, from the
// registry key of the modem's node; empty when it bound none.
std::string BoundComName(const std::string& serial);

}  // namespace mdmd
