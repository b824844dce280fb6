// The USB stack's helpers over descriptor bytes.
#include "sim/usbdevice/modem.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

using UsbdTest = DriverTest;

// Descriptor bytes in a pool block, as a driver holds them.
USB_CONFIGURATION_DESCRIPTOR* InPool(const std::vector<BYTE>& bytes) {
  auto* block = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPool, bytes.size(), kPoolTag));
  std::copy(bytes.begin(), bytes.end(), block);
  return reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(block);
}

TEST_F(UsbdTest, ParseFindsInterfacesByEveryCriterion) {
  auto endpoints = sim::usbdevice::ModemEndpoints();
  std::vector<BYTE> bytes = sim::usbdevice::ConfigurationDescriptor(2, endpoints);
  // A second interface (number 1, class 2) after the first.
  bytes.insert(bytes.end(), {9, 4, 1, 0, 0, 2, 0, 0, 0});
  bytes[2] = static_cast<BYTE>(bytes.size());
  USB_CONFIGURATION_DESCRIPTOR* config = InPool(bytes);
  USB_INTERFACE_DESCRIPTOR* first =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bNumEndpoints, 5);
  USB_INTERFACE_DESCRIPTOR* second =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 2, -1, -1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->bInterfaceNumber, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 3, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, second + 1, 0, -1, -1, -1, -1), nullptr);
  // A zero length stops the walk instead of looping on it.
  reinterpret_cast<BYTE*>(config)[9] = 0;
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr);
  ExFreePool(config);
}

TEST_F(UsbdTest, TheConfigurationRequestDescribesTheFirstInterface) {
  USB_CONFIGURATION_DESCRIPTOR* config =
      InPool(sim::usbdevice::ConfigurationDescriptor(2, sim::usbdevice::ModemEndpoints()));
  USHORT size = 0;
  URB* urb = USBD_CreateConfigurationRequest(config, &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, 24 + 36 + 4 * 20);
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(platform::vxd::FromFlat(urb->UrbSelectConfiguration.ConfigurationDescriptor, 9),
            config);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 5u);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Length, 36 + 4 * 20);
  EXPECT_EQ(pool::TagText(pool::Outstanding().blocks.back().tag), "USBD");
  ExFreePool(urb);
  // Without an interface the request has no interface information.
  config->wTotalLength = 9;
  urb = USBD_CreateConfigurationRequest(config, &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, 24);
  ExFreePool(urb);
  pool::FailNth(1, pool::kPool);
  EXPECT_EQ(USBD_CreateConfigurationRequest(config, &size), nullptr);
  ExFreePool(config);
}

}  // namespace
}  // namespace driver_test
