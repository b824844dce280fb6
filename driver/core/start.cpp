// Start-device: descriptors and strings, the device-table name, the modem's installation, and
// the selection of configuration index 1.
#include <cstring>

#include "driver/core/asmlib.h"
#include "driver/core/descriptors.h"

namespace {

constexpr ULONG kUrbSize = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
static_assert(kUrbSize == 80);

void NameSlot(DEVICE_OBJECT* deviceObject) {
  WorkerContext* slot = findTheWorkerContext(deviceObject);
  if (slot == nullptr) return;
  std::memcpy(slot->name, Extension(deviceObject)->serialNumber, kWorkerNameChars);
  slot->name[kWorkerNameChars] = '\0';
}

// Reads configuration index 1: first 1033 bytes, then again at its total length when that is
// larger. A read that fails, or brings fewer bytes than a configuration descriptor's header,
// ends the start here rather than selecting from bytes the device never sent; a total length
// larger than what arrived is cut to what arrived.
NTSTATUS ReadConfiguration(DEVICE_OBJECT* deviceObject, URB* urb,
                           USB_CONFIGURATION_DESCRIPTOR** out) {
  ULONG size = kConfigReadSize;
  for (;;) {
    auto* descriptor = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(
        ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG transferred = 0;
    NTSTATUS status = ReadDescriptor(deviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                     kConfigIndex, 0, descriptor, size, &transferred);
    if (NT_SUCCESS(status) && transferred < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
      ExFreePool(descriptor);
      return status;
    }
    if (descriptor->wTotalLength > size) {
      size = descriptor->wTotalLength;
      ExFreePool(descriptor);
      continue;
    }
    if (descriptor->wTotalLength > transferred) {
      descriptor->wTotalLength = static_cast<USHORT>(transferred);
    }
    *out = descriptor;
    return STATUS_SUCCESS;
  }
}

}  // namespace

void ReleaseConfiguration(DEVICE_EXTENSION* extension) {
  if (extension->deviceDescriptor != nullptr) ExFreePool(extension->deviceDescriptor);
  if (extension->interfaceInfo != nullptr) ExFreePool(extension->interfaceInfo);
  if (extension->configDescriptor != nullptr) ExFreePool(extension->configDescriptor);
  extension->deviceDescriptor = nullptr;
  extension->interfaceInfo = nullptr;
  extension->configDescriptor = nullptr;
}

NTSTATUS ReadDescriptor(DEVICE_OBJECT* deviceObject, URB* urb, UCHAR type, UCHAR index,
                        USHORT languageId, PVOID buffer, ULONG length, ULONG* transferred) {
  UsbBuildGetDescriptorRequest(urb, kUrbSize, type, index, languageId, buffer, nullptr, length,
                               nullptr);
  NTSTATUS status = BulkUsb_CallUSBD(deviceObject, urb);
  ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  *transferred = got < length ? got : length;
  return status;
}

NTSTATUS BulkUsb_StartDevice(DEVICE_OBJECT* deviceObject) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  // A start after a stop reads everything again; what the earlier start kept is released first.
  ReleaseConfiguration(extension);
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, kUrbSize, kPoolTag));
  auto* device = static_cast<USB_DEVICE_DESCRIPTOR*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), kPoolTag));
  if (urb == nullptr || device == nullptr) {
    if (urb != nullptr) ExFreePool(urb);
    if (device != nullptr) ExFreePool(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Zeroed, so that a short answer leaves no stale bytes where the string indices are read.
  std::memset(device, 0, sizeof(USB_DEVICE_DESCRIPTOR));
  ULONG transferred = 0;
  NTSTATUS status = ReadDescriptor(deviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device,
                                   sizeof(USB_DEVICE_DESCRIPTOR), &transferred);
  if (!NT_SUCCESS(status)) {
    ExFreePool(urb);
    ExFreePool(device);
    return status;
  }
  USBDEV_GetSerialNumber(deviceObject, device->iSerialNumber);
  USBDEV_GetProductName(deviceObject, device->iProduct);
  NameSlot(deviceObject);
  AddModem(deviceObject);
  if (ASMLIB_IsService_present("SHELL   ")) {
    VxD_shell_execute("MDMINST.EXE", extension->serialNumber, extension->productName);
  }
  extension->deviceDescriptor = device;
  ExFreePool(urb);
  status = BulkUsb_ConfigureDevice(deviceObject);
  if (NT_SUCCESS(status)) extension->started = TRUE;
  return status;
}

NTSTATUS BulkUsb_ConfigureDevice(DEVICE_OBJECT* deviceObject) {
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, kUrbSize, kPoolTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  USB_CONFIGURATION_DESCRIPTOR* descriptor = nullptr;
  NTSTATUS status = ReadConfiguration(deviceObject, urb, &descriptor);
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) return status;
  Extension(deviceObject)->configDescriptor = descriptor;
  return BulkUsb_SelectInterface(deviceObject, descriptor);
}

// A selection whose copy of the interface information cannot be made fails the start: the
// transfer engine could not work without the pipe handles.
NTSTATUS BulkUsb_SelectInterface(DEVICE_OBJECT* deviceObject,
                                 USB_CONFIGURATION_DESCRIPTOR* configDescriptor) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  USHORT size = 0;
  URB* urb = USBD_CreateConfigurationRequest(configDescriptor, &size);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (USBD_ParseConfigurationDescriptorEx(configDescriptor, configDescriptor, -1, -1, -1, -1, -1) ==
      nullptr) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  USBD_INTERFACE_INFORMATION* interface = &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
    interface->Pipes[i].MaximumTransferSize = extension->pipeMaxTransfer;
    interface->Pipes[i].PipeFlags = 0;
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = size;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = platform::vxd::ToFlat(configDescriptor);
  NTSTATUS status = BulkUsb_CallUSBD(deviceObject, urb);
  extension->configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
  if (NT_SUCCESS(status)) {
    auto* copy = static_cast<USBD_INTERFACE_INFORMATION*>(
        ExAllocatePoolWithTag(NonPagedPool, interface->Length, kPoolTag));
    if (copy != nullptr) {
      std::memcpy(copy, interface, interface->Length);
      extension->interfaceInfo = copy;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  ExFreePool(urb);
  return status;
}
