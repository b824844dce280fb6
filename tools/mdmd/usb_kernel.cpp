#include "tools/mdmd/usb_kernel.h"

#include <libusb.h>

#include <cstdio>

#include "driver/core/devext.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pnp.h"
#include "platform/win32/windows.h"

namespace mdmd {

namespace pnp = platform::wdm::pnp;

std::unique_ptr<UsbKernel> UsbKernel::Load(std::string& error) {
  platform::vxd::ResetSystem();
  std::unique_ptr<UsbKernel> usb(new UsbKernel);
  int result = libusb_init(&usb->context_);
  if (result != 0) {
    usb->context_ = nullptr;
    error = std::string("cannot start libusb: ") + libusb_error_name(result);
    return nullptr;
  }
  usb->kernel_.emplace();
  usb->processor().Call([&] { usb->controller_.emplace(usb->processor(), usb->context_); });
  NTSTATUS status = pnp::LoadDriver(DriverEntry, "mdmcore", &usb->driver_);
  if (!NT_SUCCESS(status)) {
    usb->driver_ = nullptr;
    char text[64];
    std::snprintf(text, sizeof(text), "mdmcore did not load (0x%08X)",
                  static_cast<unsigned>(status));
    error = text;
    return nullptr;
  }
  return usb;
}

UsbKernel::~UsbKernel() {
  if (driver_ != nullptr) pnp::UnloadDriver(driver_);
  if (controller_) processor().Call([&] { controller_.reset(); });
  kernel_.reset();
  if (context_ != nullptr) libusb_exit(context_);
}

NTSTATUS UsbKernel::StartModem(PDEVICE_OBJECT pdo) {
  NTSTATUS status = pnp::AddDevice(driver_, pdo);
  if (!NT_SUCCESS(status)) return status;
  status = pnp::StartDevice(pdo);
  if (!NT_SUCCESS(status)) {
    pnp::RemoveDevice(pdo);
    return status;
  }
  // The configuration manager enumerates the modem's node on the processor after the start;
  // the driver binds its COM port then.
  processor().Call([] {});
  return status;
}

std::string BoundComName(const std::string& serial) {
  std::string key = "Enum\\USB\\VID_F3A9&PID_5201\\" + serial + "MDM";
  HKEY node;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &node) != ERROR_SUCCESS) {
    return {};
  }
  char name[16] = {};
  DWORD size = sizeof(name) - 1;
  LONG result =
      RegQueryValueExA(node, "PORTNAME", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(node);
  return result == ERROR_SUCCESS ? std::string(name) : std::string();
}

}  // namespace mdmd
