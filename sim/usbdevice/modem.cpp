#include "sim/usbdevice/modem.h"

namespace sim::usbdevice {

std::vector<Endpoint> ModemEndpoints() {
  return {
      {0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 8, 1},   // status packets
      {0x85, USB_ENDPOINT_TYPE_ISOCHRONOUS, 64, 1},  // data from the modem
      {0x06, USB_ENDPOINT_TYPE_ISOCHRONOUS, 64, 1},  // data to the modem
      {0x83, USB_ENDPOINT_TYPE_BULK, 32, 0},         // indications
      {0x04, USB_ENDPOINT_TYPE_BULK, 32, 0},         // commands
  };
}

Descriptors ModemDescriptors(const ModemIdentity& identity) {
  Descriptors descriptors;
  UCHAR serialIndex = identity.hasSerial ? kSerialIndex : 0;
  descriptors.device = {18,
                        USB_DEVICE_DESCRIPTOR_TYPE,
                        0x10,
                        0x01,  // USB 1.1
                        0,
                        0,
                        0,
                        8,  // class per interface; 8-byte default pipe
                        kModemVendor & 0xFF,
                        kModemVendor >> 8,
                        kModemProduct & 0xFF,
                        kModemProduct >> 8,
                        0x00,
                        0x01,  // device release 1.00
                        kManufacturerIndex,
                        kProductIndex,
                        serialIndex,
                        2};
  std::vector<Endpoint> endpoints = ModemEndpoints();
  descriptors.configurations.push_back(ConfigurationDescriptor(1, {}));
  descriptors.configurations.push_back(ConfigurationDescriptor(2, endpoints));
  const USHORT english = 0x0409;
  descriptors.strings[0] = LanguageList(std::span(&english, 1));
  descriptors.strings[kManufacturerIndex] = StringDescriptor(u"Norvane");
  descriptors.strings[kProductIndex] = StringDescriptor(identity.product);
  if (identity.hasSerial) descriptors.strings[kSerialIndex] = StringDescriptor(identity.serial);
  return descriptors;
}

}  // namespace sim::usbdevice
