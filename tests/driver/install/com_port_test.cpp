// Choosing the COM port from the ENUM tree: reuse of an earlier binding, "FirstValidPort", the
// one digit after "COM", case, malformed values, depth and heap exhaustion.
#include <string>

#include "driver/install/install.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

constexpr char kId[] = "USB\\VID_F3A9&PID_5201\\A1B2";

class ComPortTest : public DriverTest {
 protected:
  // Sets a value under HKEY_LOCAL_MACHINE, creating the key.
  static void Set(const std::string& key, const char* name, DWORD type, const void* data,
                  DWORD size) {
    VMMHKEY handle = 0;
    ASSERT_EQ(_RegCreateKey(HKEY_LOCAL_MACHINE, key.c_str(), &handle), ERROR_SUCCESS);
    ASSERT_EQ(_RegSetValueEx(handle, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    _RegCloseKey(handle);
  }
  static void SetText(const std::string& key, const char* name, const std::string& text) {
    Set(key, name, REG_SZ, text.data(), static_cast<DWORD>(text.size()));
  }
  static void SetFirst(DWORD port) {
    Set(std::string("Enum\\") + kId, "FirstValidPort", REG_DWORD, &port, 4);
  }
  static LONG Choose() {
    LONG n = GetValidCommPort(kId);
    EXPECT_EQ(platform::vxd::HeapBlocksOutstanding(), 0u);
    EXPECT_EQ(platform::vxd::OpenRegistryKeys(), 0u);
    return n;
  }
};

TEST_F(ComPortTest, DefaultsToThreeAndSkipsTakenPorts) {
  EXPECT_EQ(Choose(), 3);
  SetText("Enum\\Root\\Ports\\0000", "PortName", "COM3");
  SetText("Enum\\Root\\Ports\\0001", "PortName", "COM4");
  EXPECT_EQ(Choose(), 5);
  EXPECT_EQ(gComPorts[3], 1u);
  EXPECT_EQ(gComPorts[4], 1u);
}

TEST_F(ComPortTest, AModemGetsItsEarlierPortBack) {
  SetText("Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM", "PORTNAME", "COM5");
  SetText("Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM", "USBDeviceID", kId);
  EXPECT_EQ(Choose(), 5);  // though 3 and 4 are free
  // Another modem's binding is only a taken port.
  EXPECT_EQ(GetValidCommPort("USB\\VID_F3A9&PID_5201\\OTHER"), 3);
  EXPECT_EQ(gUsbPorts[5], 0u);
  EXPECT_EQ(gComPorts[5], 1u);
}

TEST_F(ComPortTest, AnEarlierPortNowHeldByAnotherPortDeviceIsNotReused) {
  SetText("Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM", "PORTNAME", "COM3");
  SetText("Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM", "USBDeviceID", kId);
  // A device that only uses COM3 does not hold it.
  SetText("Enum\\Modem\\0000", "AttachedTo", "COM3");
  EXPECT_EQ(Choose(), 3);
  // A serial port of its own that now has number 3 (visited before or after the modem's key).
  for (const char* key : {"Enum\\Root\\Ports\\0000", "Enum\\Z\\0000"}) {
    SCOPED_TRACE(key);
    SetText(key, "PortName", "COM3");
    EXPECT_EQ(Choose(), 4);
    EXPECT_EQ(gHeldPorts[3], 1u);
  }
}

TEST_F(ComPortTest, FirstValidPortBoundsTheChoice) {
  SetText("Enum\\Root\\Ports\\0000", "PortName", "COM7");
  SetFirst(7);
  EXPECT_EQ(Choose(), 8);
  SetFirst(10);
  EXPECT_EQ(Choose(), 0);
  // 0: only an earlier binding of this device is found.
  SetFirst(0);
  EXPECT_EQ(Choose(), 0);
  SetText("Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM", "PORTNAME", "COM6");
  SetText("Enum\\USB\\VID_F3A9&PID_5201\\A1B2MDM", "USBDeviceID", kId);
  EXPECT_EQ(Choose(), 6);
  // Below 0 counts as 0, never as an index below the tables.
  SetFirst(0xFFFFFFF0u);
  EXPECT_EQ(Choose(), 6);
}

TEST_F(ComPortTest, AFirstValidPortOfAnotherLengthIsIgnored) {
  SetText("Enum\\Root\\Ports\\0000", "PortName", "COM3");
  const BYTE two[2] = {7, 0};
  Set(std::string("Enum\\") + kId, "FirstValidPort", REG_BINARY, two, 2);
  EXPECT_EQ(Choose(), 4);
  const BYTE eight[8] = {7};
  Set(std::string("Enum\\") + kId, "FirstValidPort", REG_BINARY, eight, 8);
  EXPECT_EQ(Choose(), 4);
}

TEST_F(ComPortTest, OnlyOneDigitAfterComCountsAndCaseDoesNotMatter) {
  SetText("Enum\\A\\0", "PortName", "COM12");  // port 1
  SetText("Enum\\A\\1", "PortName", "COM0");
  SetText("Enum\\A\\2", "AttachedTo", "COMX");
  SetText("Enum\\A\\3", "portname", "com3");
  SetText("Enum\\A\\4", "ATTACHEDTO", "Com4");
  SetText("Enum\\A\\5", "PortName", "COM");  // too short to name a port
  SetText("Enum\\A\\6", "FriendlyName", "COM5");
  EXPECT_EQ(Choose(), 5);
  EXPECT_EQ(gComPorts[1], 1u);
  EXPECT_EQ(gComPorts[0], 0u);
  EXPECT_EQ(gComPorts[5], 0u);
}

TEST_F(ComPortTest, OverlongValuesAreSkippedWithoutOverrun) {
  SetText("Enum\\A\\0", "PortName", "COM3" + std::string(36, ' '));  // 40 bytes: not read
  EXPECT_EQ(Choose(), 3);
  // A "USBDeviceID" longer than its buffer names another device.
  SetText("Enum\\A\\1", "PortName", "COM4");
  SetText("Enum\\A\\1", "USBDeviceID", std::string(kId) + std::string(200, 'x'));
  SetFirst(4);
  EXPECT_EQ(Choose(), 5);
  EXPECT_EQ(gUsbPorts[4], 0u);
}

TEST_F(ComPortTest, TheLastKeyWithAnIdDecides) {
  // Subkeys are visited in name order.
  SetText("Enum\\B\\0", "PortName", "COM4");
  SetText("Enum\\B\\0", "USBDeviceID", kId);
  SetText("Enum\\B\\1", "AttachedTo", "COM4");  // no ID: leaves the entry
  EXPECT_EQ(Choose(), 4);
  EXPECT_EQ(gUsbPorts[4], 1u);
  SetText("Enum\\B\\2", "PortName", "COM4");
  SetText("Enum\\B\\2", "USBDeviceID", "USB\\VID_F3A9&PID_5201\\OTHER");
  EXPECT_EQ(Choose(), 3);
}

TEST_F(ComPortTest, ADeepTreeIsScannedToTheBottom) {
  std::string key = "Enum";
  for (int depth = 0; depth < 60; ++depth) key += "\\K";
  SetText(key, "PortName", "COM3");
  EXPECT_EQ(Choose(), 4);
}

TEST_F(ComPortTest, HeapExhaustionSkipsThatLevelOnly) {
  SetText("Enum\\A\\0", "PortName", "COM3");
  // Blocks: ENUM's name buffer, ENUM's value buffer, A's name buffer (fails: A is skipped).
  platform::vxd::FailHeapAllocation(3);
  EXPECT_EQ(Choose(), 3);  // the taken port looks free
  platform::vxd::FailHeapAllocation(1);
  EXPECT_EQ(Choose(), 3);
  EXPECT_EQ(Choose(), 4);
}

}  // namespace
}  // namespace driver_test
