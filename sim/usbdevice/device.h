// A USB device as the host controller sees it: control requests on the default pipe, and one
// isochronous packet or one bulk transaction at a time on the other endpoints.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/usb/usb.h"

namespace sim::usbdevice {

class Device {
 public:
  virtual ~Device() = default;

  // A control transfer; `data` holds setup.wLength bytes.
  virtual USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                              ULONG& transferred) = 0;
  // The packet of an isochronous IN endpoint for `frame`: fills at most data.size() bytes.
  virtual USBD_STATUS IsoIn(UCHAR endpoint, ULONG frame, std::span<BYTE> data, ULONG& length) = 0;
  virtual USBD_STATUS IsoOut(UCHAR endpoint, ULONG frame, std::span<const BYTE> data) = 0;
  // A bulk transaction; none: the device is not ready (NAK) and is asked again next frame.
  virtual std::optional<ULONG> BulkIn(UCHAR endpoint, std::span<BYTE> data) = 0;
  virtual bool BulkOut(UCHAR endpoint, std::span<const BYTE> data) = 0;
};

// Descriptors as bytes, so that a test can give a device any of them, well-formed or not.
struct Descriptors {
  std::vector<BYTE> device;
  std::vector<std::vector<BYTE>> configurations;  // by index
  std::map<UCHAR, std::vector<BYTE>> strings;     // by index; 0 is the language list
  std::set<std::pair<UCHAR, UCHAR>> stalled;      // (type, index) reads that fail
};

struct Endpoint {
  UCHAR address = 0;
  UCHAR attributes = USB_ENDPOINT_TYPE_BULK;
  USHORT maxPacket = 0;
  UCHAR interval = 1;
};

std::vector<BYTE> StringDescriptor(std::u16string_view text);
std::vector<BYTE> LanguageList(std::span<const USHORT> languages);
// A configuration with one interface (class 0xFF) holding `endpoints`.
std::vector<BYTE> ConfigurationDescriptor(UCHAR value, std::span<const Endpoint> endpoints);

// A device that answers GET_DESCRIPTOR and SET_CONFIGURATION from its Descriptors and leaves
// its endpoints idle: isochronous IN packets are empty, OUT packets are taken, bulk IN is never
// ready, bulk OUT is taken.
class DescribedDevice : public Device {
 public:
  explicit DescribedDevice(Descriptors descriptors) : descriptors_(std::move(descriptors)) {}

  USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                      ULONG& transferred) override;
  USBD_STATUS IsoIn(UCHAR endpoint, ULONG frame, std::span<BYTE> data, ULONG& length) override;
  USBD_STATUS IsoOut(UCHAR endpoint, ULONG frame, std::span<const BYTE> data) override;
  std::optional<ULONG> BulkIn(UCHAR endpoint, std::span<BYTE> data) override;
  bool BulkOut(UCHAR endpoint, std::span<const BYTE> data) override;

  Descriptors& descriptors() { return descriptors_; }
  // The configuration value set by the host (0: unconfigured).
  UCHAR configuration() const { return configuration_; }

 private:
  const std::vector<BYTE>* Find(UCHAR type, UCHAR index) const;

  Descriptors descriptors_;
  UCHAR configuration_ = 0;
};

}  // namespace sim::usbdevice
