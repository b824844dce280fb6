#include "sim/usbdevice/device.h"

#include <algorithm>
#include <cstring>

namespace sim::usbdevice {

std::vector<BYTE> StringDescriptor(std::u16string_view text) {
  std::vector<BYTE> bytes{0, USB_STRING_DESCRIPTOR_TYPE};
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  bytes[0] = static_cast<BYTE>(std::min<std::size_t>(bytes.size(), 255));
  return bytes;
}

std::vector<BYTE> LanguageList(std::span<const USHORT> languages) {
  std::u16string units(languages.begin(), languages.end());
  return StringDescriptor(units);
}

std::vector<BYTE> ConfigurationDescriptor(UCHAR value, std::span<const Endpoint> endpoints) {
  std::vector<BYTE> bytes = {9,
                             USB_CONFIGURATION_DESCRIPTOR_TYPE,
                             0,
                             0,
                             1,
                             value,
                             0,
                             0x80,
                             0xFA,
                             9,
                             USB_INTERFACE_DESCRIPTOR_TYPE,
                             0,
                             0,
                             static_cast<BYTE>(endpoints.size()),
                             0xFF,
                             0,
                             0,
                             0};
  for (const Endpoint& endpoint : endpoints) {
    bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address,
                               endpoint.attributes, static_cast<BYTE>(endpoint.maxPacket & 0xFF),
                               static_cast<BYTE>(endpoint.maxPacket >> 8), endpoint.interval});
  }
  bytes[2] = static_cast<BYTE>(bytes.size() & 0xFF);
  bytes[3] = static_cast<BYTE>(bytes.size() >> 8);
  return bytes;
}

const std::vector<BYTE>* DescribedDevice::Find(UCHAR type, UCHAR index) const {
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return index == 0 && !descriptors_.device.empty() ? &descriptors_.device : nullptr;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      return index < descriptors_.configurations.size() ? &descriptors_.configurations[index]
                                                        : nullptr;
    case USB_STRING_DESCRIPTOR_TYPE: {
      auto it = descriptors_.strings.find(index);
      return it == descriptors_.strings.end() ? nullptr : &it->second;
    }
    default:
      return nullptr;
  }
}

USBD_STATUS DescribedDevice::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                                     ULONG& transferred) {
  transferred = 0;
  if (setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
    auto type = static_cast<UCHAR>(setup.wValue >> 8);
    auto index = static_cast<UCHAR>(setup.wValue & 0xFF);
    const std::vector<BYTE>* bytes = Find(type, index);
    if (bytes == nullptr || descriptors_.stalled.count({type, index}) != 0) {
      return USBD_STATUS_STALL_PID;
    }
    transferred = static_cast<ULONG>(std::min<std::size_t>(bytes->size(), setup.wLength));
    if (transferred != 0) std::memcpy(data, bytes->data(), transferred);
    return USBD_STATUS_SUCCESS;
  }
  if (setup.bmRequestType == 0x00 && setup.bRequest == USB_REQUEST_SET_CONFIGURATION) {
    auto value = static_cast<UCHAR>(setup.wValue);
    bool known = value == 0;
    for (const auto& configuration : descriptors_.configurations) {
      if (configuration.size() > 5 && configuration[5] == value) known = true;
    }
    if (!known) return USBD_STATUS_STALL_PID;
    configuration_ = value;
    return USBD_STATUS_SUCCESS;
  }
  return USBD_STATUS_STALL_PID;
}

USBD_STATUS DescribedDevice::IsoIn(UCHAR, ULONG, std::span<BYTE>, ULONG& length) {
  length = 0;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS DescribedDevice::IsoOut(UCHAR, ULONG, std::span<const BYTE>) {
  return USBD_STATUS_SUCCESS;
}

std::optional<ULONG> DescribedDevice::BulkIn(UCHAR, std::span<BYTE>) {
  return std::nullopt;
}

bool DescribedDevice::BulkOut(UCHAR, std::span<const BYTE>) {
  return true;
}

}  // namespace sim::usbdevice
