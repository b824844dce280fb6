// The modem's installation at start-device: its child node with the hardware key, the COM port
// binding in the three places, the install program, and what a second start leaves alone.
#include <cstring>
#include <string>

#include "driver/install/install.h"
#include "platform/registry/store.h"
#include "platform/vxd/shell.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

namespace reg = platform::registry;

constexpr char kHklm[] = "HKEY_LOCAL_MACHINE\\";
constexpr char kUsbKey[] = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_F3A9&PID_5201\\A1B2";
constexpr char kChildKey[] = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM";
constexpr char kSerialcomm[] = "HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm";

class AddModemTest : public DriverTest {
 protected:
  // Plugs, adds and starts a modem and lets the configuration manager's events run.
  PDEVICE_OBJECT Start(const ModemIdentity& identity) {
    EXPECT_EQ(Load(), STATUS_SUCCESS);
    pdo_ = PlugModem(identity);
    Add(pdo_);
    EXPECT_EQ(pnp::StartDevice(pdo_), STATUS_SUCCESS);
    world().Call([] {});
    return pdo_;
  }
  void TearDown() override {
    if (pdo_ != nullptr) RemoveAndUnplug(pdo_);
    DriverTest::TearDown();
  }
  // Sets a string value of exactly these bytes, creating the key.
  static void Put(const std::string& key, const char* name, const void* data, std::size_t size) {
    ASSERT_TRUE(reg::Default().CreateKey(key).ok());
    ASSERT_TRUE(reg::Default()
                    .SetValue(key, name, REG_SZ, std::span(static_cast<const BYTE*>(data), size))
                    .ok());
  }
  static bool Get(const std::string& key, const char* name, reg::Value& value) {
    return reg::Default().GetValue(key, name, value).ok();
  }
  // A value's bytes as text; "<none>" when it is absent.
  static std::string Text(const std::string& key, const char* name) {
    reg::Value value;
    if (!Get(key, name, value)) return "<none>";
    return std::string(value.data.begin(), value.data.end());
  }
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(AddModemTest, StartAddsTheModemNodeAndBindsItToCom3) {
  Start({u"A1B2", u"Modem", true});
  reg::Value value;
  ASSERT_TRUE(Get(kUsbKey, "SerialNumber", value));
  EXPECT_EQ(value.type, REG_SZ);
  EXPECT_EQ(value.data.size(), 28u);  // padded with NULs
  EXPECT_EQ(std::string(value.data.begin(), value.data.begin() + 5), std::string("A1B2\0", 5));
  ASSERT_TRUE(Get(kUsbKey, "DeviceNumber", value));
  EXPECT_EQ(value.type, REG_BINARY);
  EXPECT_EQ(value.data, (std::vector<BYTE>{0, 0, 0, 0}));

  EXPECT_EQ(Text(kChildKey, "Class"), "Modem");
  EXPECT_EQ(Text(kChildKey, "HardwareID"), "NRV5201");
  EXPECT_EQ(Text(kChildKey, "USBDeviceID"), "USB\\VID_F3A9&PID_5201\\A1B2");
  EXPECT_EQ(Text(kChildKey, "USB_DEVICE_SN"), Text(kUsbKey, "SerialNumber"));
  EXPECT_EQ(Text(kChildKey, "PORTNAME"), "COM3");
  EXPECT_EQ(Text(kSerialcomm, "COM3"), "COM3");
  ASSERT_TRUE(Get(kSerialcomm, "COM3", value));
  EXPECT_EQ(value.type, REG_SZ);

  DEVNODE usb = 0, child = 0;
  ASSERT_EQ(CONFIGMG_Locate_DevNode(&usb, "USB\\VID_F3A9&PID_5201\\A1B2", 0), CR_SUCCESS);
  ASSERT_EQ(CONFIGMG_Get_Child(&child, usb, 0), CR_SUCCESS);
  EXPECT_EQ(platform::vxd::configmg::DeviceId(child), "USB\\VID_F3A9&PID_5201\\A1B2MDM");
  EXPECT_EQ(platform::vxd::OpenRegistryKeys(), 0u);
  EXPECT_EQ(platform::vxd::HeapBlocksOutstanding(), 0u);
}

TEST_F(AddModemTest, TheInstallProgramGetsSerialHashProductInThePacket) {
  Start({u"A1B2", u"Modem", true});
  auto launches = platform::vxd::shell::Launches();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].file, "MDMINST.EXE");
  EXPECT_EQ(launches[0].parameters, "A1B2#Modem");
  EXPECT_EQ(launches[0].show, 1u);
  const SHEXPACKET& header = exec_packet.header;
  EXPECT_EQ(header.dwTotalSize, 288u);
  EXPECT_EQ(header.dwSize, 32u);
  EXPECT_EQ(header.ibOp, 0u);
  EXPECT_EQ(header.ibFile, 32u);
  EXPECT_EQ(header.ibParams, 32u + 11u + 1u);
  EXPECT_EQ(header.ibDir, 0u);
  EXPECT_EQ(header.dwReserved, 0u);
  EXPECT_EQ(std::string(exec_packet.bytes + 32, 23),
            std::string("MDMINST.EXE\0A1B2#Modem\0\0", 23));
}

TEST_F(AddModemTest, ALongSerialIsCutTo28BytesWhileTheDeviceIdKeepsItWhole) {
  std::u16string serial = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";  // 30 characters
  Start({serial, u"Modem", true});
  std::string usbKey =
      std::string(kHklm) + "Enum\\USB\\VID_F3A9&PID_5201\\" + "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
  EXPECT_EQ(Text(usbKey, "SerialNumber"), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01");
  EXPECT_EQ(Text(usbKey + "MDM", "USBDeviceID"),
            "USB\\VID_F3A9&PID_5201\\ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  EXPECT_EQ(Text(usbKey + "MDM", "USB_DEVICE_SN"), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01");
  EXPECT_EQ(Text(usbKey + "MDM", "PORTNAME"), "COM3");
}

TEST_F(AddModemTest, AStopAndStartRunsTheInstallProgramAgainWithoutRegisteringTwice) {
  Start({u"A1B2", u"Modem", true});
  // A second registration would write the serial number again.
  ASSERT_TRUE(reg::Default().DeleteValue(kUsbKey, "SerialNumber").ok());
  ASSERT_EQ(pnp::StopDevice(pdo_), STATUS_SUCCESS);
  ASSERT_EQ(pnp::StartDevice(pdo_), STATUS_SUCCESS);
  world().Call([] {});
  EXPECT_EQ(Text(kUsbKey, "SerialNumber"), "<none>");
  EXPECT_EQ(platform::vxd::shell::Launches().size(), 2u);
  DEVNODE usb = 0, child = 0;
  ASSERT_EQ(CONFIGMG_Locate_DevNode(&usb, "USB\\VID_F3A9&PID_5201\\A1B2", 0), CR_SUCCESS);
  ASSERT_EQ(CONFIGMG_Get_Child(&child, usb, 0), CR_SUCCESS);
  EXPECT_EQ(Text(kChildKey, "PORTNAME"), "COM3");
}

// A "SerialNumber" that cannot be read from the USB device's node, because it is gone or longer
// than the 128 bytes read, is copied to the child as an empty "USB_DEVICE_SN".
TEST_F(AddModemTest, AnUnreadableSerialNumberGivesAnEmptyCopy) {
  Start({u"A1B2", u"Modem", true});
  DEVNODE usb = 0, child = 0;
  ASSERT_EQ(CONFIGMG_Locate_DevNode(&usb, "USB\\VID_F3A9&PID_5201\\A1B2", 0), CR_SUCCESS);
  ASSERT_EQ(CONFIGMG_Get_Child(&child, usb, 0), CR_SUCCESS);
  const std::string tooLong(200, 'S');
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "longer than the buffer" : "absent");
    if (present) {
      Put(kUsbKey, "SerialNumber", tooLong.data(), tooLong.size());
    } else {
      ASSERT_TRUE(reg::Default().DeleteValue(kUsbKey, "SerialNumber").ok());
    }
    Put(kChildKey, "USB_DEVICE_SN", "old", 3);
    world().Call([&] { EXPECT_EQ(OnEnumerate(CONFIG_SETUP, 0, usb, child, 0), CR_SUCCESS); });
    reg::Value value;
    ASSERT_TRUE(Get(kChildKey, "USB_DEVICE_SN", value));
    EXPECT_EQ(value.type, REG_SZ);
    EXPECT_TRUE(value.data.empty()) << Text(kChildKey, "USB_DEVICE_SN");
  }
}

TEST_F(AddModemTest, ThePortIsAttachedToTheModemsClassDriverKey) {
  const std::string classKey =
      std::string(kHklm) + "System\\CurrentControlSet\\Services\\Class\\Modem\\0000";
  ASSERT_TRUE(reg::Default().CreateKey(classKey).ok());
  const char driver[] = "Modem\\0000";
  Put(kChildKey, "Driver", driver, sizeof(driver));
  Start({u"A1B2", u"Modem", true});
  EXPECT_EQ(Text(classKey, "AttachedTo"), "COM3");
}

TEST_F(AddModemTest, ADriverNameOf32CharactersIsNotFollowed) {
  const std::string name(32, 'D');
  const std::string classKey =
      std::string(kHklm) + "System\\CurrentControlSet\\Services\\Class\\" + name.substr(0, 31);
  ASSERT_TRUE(reg::Default().CreateKey(classKey).ok());
  Put(kChildKey, "Driver", name.data(), name.size());
  Start({u"A1B2", u"Modem", true});
  EXPECT_EQ(Text(classKey, "AttachedTo"), "<none>");
  EXPECT_EQ(Text(kSerialcomm, "COM3"), "COM3");  // the device map is written all the same
}

TEST_F(AddModemTest, NoFreePortLeavesTheModemUnbound) {
  for (int n = 3; n <= 9; ++n) {
    std::string port = "COM" + std::to_string(n);
    Put(std::string(kHklm) + "Enum\\Root\\Ports\\000" + std::to_string(n), "PortName", port.data(),
        port.size());
  }
  Start({u"A1B2", u"Modem", true});
  EXPECT_EQ(Text(kChildKey, "HardwareID"), "NRV5201");
  EXPECT_EQ(Text(kChildKey, "PORTNAME"), "<none>");
  reg::KeyListing listing;
  ASSERT_TRUE(reg::Default().ReadKey(kSerialcomm, listing).ok());
  EXPECT_TRUE(listing.values.empty());
}

}  // namespace
}  // namespace driver_test
