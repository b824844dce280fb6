// USBD_CreateConfigurationRequest and USBD_ParseConfigurationDescriptorEx over descriptor bytes.
#include <cstring>

#include "platform/usb/usb.h"

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"

bool Matches(LONG criterion, UCHAR value) {
  return criterion == -1 || criterion == value;
}

}  // namespace

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
  auto* base = reinterpret_cast<BYTE*>(configurationDescriptor);
  BYTE* end = base + configurationDescriptor->wTotalLength;
  auto* at = static_cast<BYTE*>(startPosition);
  if (at < base) return nullptr;
  while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<USB_COMMON_DESCRIPTOR*>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* candidate = reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(at);
      if (Matches(interfaceNumber, candidate->bInterfaceNumber) &&
          Matches(alternateSetting, candidate->bAlternateSetting) &&
          Matches(interfaceClass, candidate->bInterfaceClass) &&
          Matches(interfaceSubClass, candidate->bInterfaceSubClass) &&
          Matches(interfaceProtocol, candidate->bInterfaceProtocol)) {
        return candidate;
      }
    }
    at += common->bLength;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequest(USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                     PUSHORT size) {
  USB_INTERFACE_DESCRIPTOR* interface = USBD_ParseConfigurationDescriptorEx(
      configurationDescriptor, configurationDescriptor, -1, -1, -1, -1, -1);
  ULONG pipes = interface != nullptr ? interface->bNumEndpoints : 0;
  USHORT interfaceLength = interface != nullptr ? InterfaceInformationLength(pipes) : 0;
  auto length =
      static_cast<USHORT>(offsetof(_URB_SELECT_CONFIGURATION, Interface) + interfaceLength);
  USHORT room =
      length < sizeof(_URB_SELECT_CONFIGURATION) ? sizeof(_URB_SELECT_CONFIGURATION) : length;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, room, kUsbdTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, room);
  urb->UrbHeader.Length = length;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor =
      platform::vxd::ToFlat(configurationDescriptor);
  if (interface != nullptr) {
    USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    info.Length = interfaceLength;
    info.InterfaceNumber = interface->bInterfaceNumber;
    info.AlternateSetting = interface->bAlternateSetting;
    info.NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
  }
  if (size != nullptr) *size = length;
  return urb;
}
