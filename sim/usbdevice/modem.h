// The modem as a USB device: identity "USB\VID_F3A9&PID_5201", product and serial-number
// strings, and configuration index 1 with one interface and five endpoints: 0x81, 0x85, 0x06
// (isochronous; 8, 64, 64 bytes) and 0x83, 0x04 (bulk; 32 bytes). Index 0 is a configuration
// without endpoints. The wire side of the endpoints (status, data, commands) comes with the
// transfer engine.
#pragma once

#include <string>

#include "sim/usbdevice/device.h"

namespace sim::usbdevice {

constexpr USHORT kModemVendor = 0xF3A9;
constexpr USHORT kModemProduct = 0x5201;
constexpr UCHAR kManufacturerIndex = 1;
constexpr UCHAR kProductIndex = 2;
constexpr UCHAR kSerialIndex = 3;

struct ModemIdentity {
  std::u16string serial = u"0000A1B2C3D4";
  std::u16string product = u"USB Modem";
  bool hasSerial = true;  // false: the device descriptor names string 0 as the serial number
};

// The modem's five endpoints, in the order of its configuration descriptor.
std::vector<Endpoint> ModemEndpoints();
Descriptors ModemDescriptors(const ModemIdentity& identity);

class UsbModem : public DescribedDevice {
 public:
  explicit UsbModem(const ModemIdentity& identity = {})
      : DescribedDevice(ModemDescriptors(identity)) {}
};

}  // namespace sim::usbdevice
