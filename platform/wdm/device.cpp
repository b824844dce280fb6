// Device objects: creation with a zeroed extension, stacking, detaching and deletion.
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/vxd/flat.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/verifier.h"

namespace {

namespace kernel = platform::wdm::kernel;
using platform::wdm::verifier::Report;

constexpr CSHORT kDeviceObjectType = 3;
constexpr std::align_val_t kAlignment{16};

struct Devices {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, ULONG> extensionSizes;  // every live device object
};

Devices& TheDevices() {
  static Devices* devices = new Devices;
  return *devices;
}

bool Known(PDEVICE_OBJECT device) {
  Devices& devices = TheDevices();
  std::lock_guard lock(devices.mutex);
  return devices.extensionSizes.count(device) != 0;
}

void Unlink(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == device) *link = device->NextDevice;
}

}  // namespace

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                        PUNICODE_STRING deviceName, ULONG deviceType, ULONG characteristics,
                        BOOLEAN, PDEVICE_OBJECT* deviceObject) {
  *deviceObject = nullptr;
  if (deviceName != nullptr) return STATUS_NOT_SUPPORTED;
  if (kernel::AllocationFails(platform::wdm::pool::kDevice)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* device = new DEVICE_OBJECT{};
  // A device object can be named by a 32-bit handle (the virtual-device layer's flat address).
  platform::vxd::MapFlat(device, sizeof(DEVICE_OBJECT));
  device->DeviceObjectExtension = new DEVOBJ_EXTENSION{device, nullptr};
  if (extensionSize != 0) {
    void* extension = ::operator new(extensionSize, kAlignment);
    std::memset(extension, 0, extensionSize);
    platform::vxd::MapFlat(extension, extensionSize);
    device->DeviceExtension = extension;
  }
  device->Type = kDeviceObjectType;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = driverObject;
  device->Flags = DO_DEVICE_INITIALIZING;
  device->Characteristics = characteristics;
  device->DeviceType = deviceType;
  device->StackSize = 1;
  device->NextDevice = driverObject->DeviceObject;
  driverObject->DeviceObject = device;
  {
    Devices& devices = TheDevices();
    std::lock_guard lock(devices.mutex);
    devices.extensionSizes[device] = extensionSize;
  }
  // The device made by AddDevice is the one the rest of AddDevice works for.
  kernel::Context& context = kernel::Current();
  if (context.driver == driverObject && context.device == nullptr) context.device = device;
  *deviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
  ULONG extensionSize = 0;
  {
    Devices& devices = TheDevices();
    std::lock_guard lock(devices.mutex);
    auto it = devices.extensionSizes.find(deviceObject);
    if (it == devices.extensionSizes.end()) {
      Report("IoDeleteDevice of a device object that does not exist (deleted twice?)");
      return;
    }
    extensionSize = it->second;
    devices.extensionSizes.erase(it);
  }
  if (deviceObject->DeviceObjectExtension->AttachedTo != nullptr) {
    Report("IoDeleteDevice of a device still attached to a lower device (IoDetachDevice missing)");
    deviceObject->DeviceObjectExtension->AttachedTo->AttachedDevice = nullptr;
  }
  if (deviceObject->AttachedDevice != nullptr) {
    Report("IoDeleteDevice of a device that another device is still attached to");
    deviceObject->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
  }
  kernel::CheckDeviceLeftovers(deviceObject, "IoDeleteDevice");
  Unlink(deviceObject);
  if (deviceObject->DeviceExtension != nullptr) {
    kernel::DropTimersIn(deviceObject->DeviceExtension, extensionSize,
                         "IoDeleteDevice frees a device extension");
    platform::vxd::UnmapFlat(deviceObject->DeviceExtension);
    ::operator delete(deviceObject->DeviceExtension, kAlignment);
  }
  delete deviceObject->DeviceObjectExtension;
  platform::vxd::UnmapFlat(deviceObject);
  delete deviceObject;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject) {
  while (deviceObject->AttachedDevice != nullptr) deviceObject = deviceObject->AttachedDevice;
  return deviceObject;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                           PDEVICE_OBJECT targetDevice) {
  if (!Known(sourceDevice) || !Known(targetDevice)) {
    Report("IoAttachDeviceToDeviceStack with a device object that does not exist");
    return nullptr;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(targetDevice);
  top->AttachedDevice = sourceDevice;
  sourceDevice->DeviceObjectExtension->AttachedTo = top;
  sourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT targetDevice) {
  PDEVICE_OBJECT above = targetDevice->AttachedDevice;
  if (above == nullptr) {
    Report("IoDetachDevice of a device that nothing is attached to");
    return;
  }
  above->DeviceObjectExtension->AttachedTo = nullptr;
  targetDevice->AttachedDevice = nullptr;
}

namespace platform::wdm::kernel {

void CheckDeviceLeftovers(const DEVICE_OBJECT* device, const char* when) {
  std::string list;
  std::size_t blocks = PoolBlocksOf(device, &list);
  if (blocks != 0) {
    Report(std::string(when) + ": " + std::to_string(blocks) +
           " pool block(s) allocated for the device are still outstanding:" + list);
    ForgetPoolDevice(device);
  }
  std::string requests;
  std::size_t count = RequestsOf(nullptr, device, &requests);
  if (count != 0) {
    Report(std::string(when) + ": " + std::to_string(count) +
           " request(s) the device allocated were never freed:" + requests);
  }
}

}  // namespace platform::wdm::kernel
