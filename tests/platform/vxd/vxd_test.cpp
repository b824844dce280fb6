// The virtual-device layer: flat addresses, device registration and control messages, the
// registry services over the store, the heap, the shell's program start, the device-node tree.
#include <cstring>

#include "platform/vxd/configmg.h"
#include "platform/vxd/flat.h"
#include "platform/vxd/shell.h"
#include "platform/vxd/vmm.h"
#include "platform/vxd/vmmreg.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

using VxdTest = DriverTest;
namespace vxd = platform::vxd;

TEST_F(VxdTest, FlatAddressesResolveWithinTheirRegionOnly) {
  struct Record {
    BYTE bytes[28];
  } a{}, b{};
  {
    vxd::FlatScope scopeA(a);
    vxd::FlatScope scopeB(b);
    EXPECT_NE(scopeA.flat(), 0u);
    EXPECT_EQ(vxd::ToFlat(&a.bytes[5]), scopeA.flat() + 5);
    EXPECT_EQ(vxd::FromFlat(scopeA.flat() + 5, 23), &a.bytes[5]);
    EXPECT_EQ(vxd::FromFlat(scopeA.flat() + 5, 24), nullptr);
    EXPECT_EQ(vxd::FlatRoom(scopeA.flat() + 20), 8u);
    EXPECT_EQ(vxd::FromFlat<Record>(scopeB.flat()), &b);
    EXPECT_EQ(vxd::FromFlat(0, 1), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&a) % 16, scopeA.flat() % 16);
  }
  EXPECT_EQ(vxd::ToFlat(nullptr), 0u);
  using Callback = void(ULONG, ULONG);
  Callback* callback = [](ULONG, ULONG) {};
  DWORD entry = vxd::EntryToFlat(callback);
  EXPECT_EQ(vxd::EntryToFlat(callback), entry);
  EXPECT_EQ(vxd::EntryFromFlat<Callback>(entry), callback);
  EXPECT_EQ(vxd::EntryFromFlat<void(ULONG)>(entry), nullptr);  // another type
  EXPECT_EQ(vxd::FromFlat(entry, 1), nullptr);                 // code is not data
}

int gMessages = 0;

TEST_F(VxdTest, DevicesRegisterOnceAndReceiveControlMessages) {
  VxD_Desc_Block ddb{};
  ddb.DDB_Req_Device_Number = 0x8899;
  std::memcpy(ddb.DDB_Name, "TESTDEV ", 8);
  ddb.DDB_Control_Proc = vxd::EntryToFlat<void(vxd::Registers&)>([](vxd::Registers& registers) {
    ++gMessages;
    registers.carry = registers.edx == 0;
  });
  EXPECT_NE(Add_DDB(&ddb), 0u);
  EXPECT_EQ(Add_DDB(&ddb), 0u);
  VxD_Desc_Block twin = ddb;
  twin.DDB_Req_Device_Number = 0x8898;
  EXPECT_EQ(Add_DDB(&twin), 0u);  // the name is taken
  EXPECT_EQ(Get_DDB(0, "TESTDEV "), &ddb);
  EXPECT_EQ(Get_DDB(0x8899, nullptr), &ddb);
  EXPECT_NE(Get_DDB(0, "SHELL   "), nullptr);
  EXPECT_NE(Get_DDB(0, "VMM     "), nullptr);
  EXPECT_FALSE(vxd::SendControlMessage("TESTDEV", 0x71000002, 5));
  EXPECT_TRUE(vxd::SendControlMessage("TESTDEV", 0x71000002, 0));
  EXPECT_TRUE(vxd::SendControlMessage("NOSUCH", 0x71000002, 5));
  EXPECT_EQ(gMessages, 2);
  EXPECT_NE(Remove_DDB(&ddb), 0u);
  EXPECT_EQ(Get_DDB(0, "TESTDEV "), nullptr);
}

TEST_F(VxdTest, RegistryServicesWorkOnTheStore) {
  VMMHKEY key = 0;
  EXPECT_EQ(_RegOpenKey(HKEY_LOCAL_MACHINE, "Enum\\USB", &key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(_RegCreateKey(HKEY_LOCAL_MACHINE, "Enum\\USB\\Modem", &key), ERROR_SUCCESS);
  const BYTE port[] = {7, 0, 0, 0};
  EXPECT_EQ(_RegSetValueEx(key, "FirstValidPort", 0, REG_DWORD, port, 4), ERROR_SUCCESS);
  EXPECT_EQ(_RegSetValueEx(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM7"), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(_RegCloseKey(key), ERROR_SUCCESS);

  ASSERT_EQ(_RegOpenKey(HKEY_LOCAL_MACHINE, "ENUM", &key), ERROR_SUCCESS);
  char name[16];
  EXPECT_EQ(_RegEnumKey(key, 0, name, sizeof(name)), ERROR_SUCCESS);
  EXPECT_STREQ(name, "USB");
  EXPECT_EQ(_RegEnumKey(key, 1, name, sizeof(name)), ERROR_NO_MORE_ITEMS);
  VMMHKEY usb = 0;
  ASSERT_EQ(_RegOpenKey(key, "usb\\modem", &usb), ERROR_SUCCESS);
  DWORD type = 0;
  BYTE data[8];
  DWORD size = 2;
  EXPECT_EQ(_RegQueryValueEx(usb, "firstvalidport", nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  size = sizeof(data);
  EXPECT_EQ(_RegQueryValueEx(usb, "FirstValidPort", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data[0], 7);
  char valueName[32];
  DWORD nameSize = sizeof(valueName);
  EXPECT_EQ(_RegEnumValue(usb, 1, valueName, &nameSize, nullptr, &type, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(valueName, "PortName");
  nameSize = sizeof(valueName);
  EXPECT_EQ(_RegEnumValue(usb, 2, valueName, &nameSize, nullptr, &type, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(_RegCloseKey(usb), ERROR_SUCCESS);
  EXPECT_EQ(_RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(_RegCloseKey(key), ERROR_BADKEY);
  EXPECT_EQ(vxd::OpenRegistryKeys(), 0u);
}

TEST_F(VxdTest, HeapBlocksAreCountedAndCanFail) {
  PVOID block = _HeapAllocate(256, HEAPZEROINIT);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<BYTE*>(block)[255], 0);
  EXPECT_NE(vxd::ToFlat(block), 0u);
  EXPECT_EQ(vxd::HeapBlocksOutstanding(), 1u);
  vxd::FailHeapAllocation(1);
  EXPECT_EQ(_HeapAllocate(16, 0), nullptr);
  EXPECT_EQ(_HeapFree(block, 0), 1u);
  EXPECT_EQ(_HeapFree(block, 0), 0u);
  EXPECT_EQ(vxd::HeapBlocksOutstanding(), 0u);
}

TEST_F(VxdTest, ShellExecuteTakesOnlyAWellFormedPacket) {
  union {
    SHEXPACKET header;
    char bytes[288];
  } packet{};
  packet.header = SHEXPACKET{288, 32, 0, 32, 44, 0, 0, 1};
  std::memcpy(packet.bytes + 32, "MDMINST.EXE", 12);
  std::memcpy(packet.bytes + 44, "A1B2#Modem", 11);
  EXPECT_EQ(_SHELL_ShellExecute(&packet.header), SHELL_SHELLEXECUTE_OK);
  auto launches = vxd::shell::Launches();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].file, "MDMINST.EXE");
  EXPECT_EQ(launches[0].parameters, "A1B2#Modem");
  EXPECT_EQ(launches[0].show, 1u);
  packet.header.ibParams = 400;  // outside the packet
  EXPECT_EQ(_SHELL_ShellExecute(&packet.header), 0u);
  packet.header.ibParams = 44;
  std::memset(packet.bytes + 44, 'x', 288 - 44);  // a string without its end
  EXPECT_EQ(_SHELL_ShellExecute(&packet.header), 0u);
  EXPECT_EQ(vxd::shell::Launches().size(), 1u);
}

TEST_F(VxdTest, TheDeviceTreeKeepsNodesAndTheirHardwareKeys) {
  DEVNODE usb = vxd::configmg::AddDevice("USB\\VID_F3A9&PID_5201\\A1B2");
  DEVNODE found = 0;
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&found, "usb\\vid_f3a9&pid_5201\\a1b2", 0), CR_SUCCESS);
  EXPECT_EQ(found, usb);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&found, "USB\\VID_F3A9&PID_5201\\OTHER", 0),
            CR_NO_SUCH_DEVNODE);
  DEVNODE child = 0;
  EXPECT_EQ(CONFIGMG_Get_Child(&child, usb, 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(CONFIGMG_Create_DevNode(&child, "USB\\VID_F3A9&PID_5201\\A1B2MDM", usb, 0), CR_SUCCESS);
  DEVNODE first = 0;
  EXPECT_EQ(CONFIGMG_Get_Child(&first, usb, 0), CR_SUCCESS);
  EXPECT_EQ(first, child);
  char id[64];
  EXPECT_EQ(CONFIGMG_Get_Device_ID(child, id, sizeof(id), 0), CR_SUCCESS);
  EXPECT_STREQ(id, "USB\\VID_F3A9&PID_5201\\A1B2MDM");
  EXPECT_EQ(CONFIGMG_Get_Device_ID(child, id, 10, 0), CR_BUFFER_SMALL);
  char serial[] = "A1B2";
  EXPECT_EQ(CONFIGMG_Write_Registry_Value(usb, nullptr, "SerialNumber", REG_SZ, serial, 4, 0),
            CR_SUCCESS);
  char back[8] = {};
  ULONG length = sizeof(back);
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(usb, nullptr, "SerialNumber", REG_SZ, back, &length, 0),
            CR_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_STREQ(back, "A1B2");
  VMMHKEY key = 0;
  EXPECT_EQ(_RegOpenKey(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_F3A9&PID_5201\\A1B2", &key),
            ERROR_SUCCESS);
  _RegCloseKey(key);
  vxd::configmg::RemoveDevice(usb);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&found, "USB\\VID_F3A9&PID_5201\\A1B2MDM", 0),
            CR_NO_SUCH_DEVNODE);
}

std::vector<std::pair<CONFIGFUNC, DEVNODE>> gEvents;

TEST_F(VxdTest, ARegisteredEnumeratorIsAskedForChildrenAndHearsAboutThem) {
  DEVNODE usb = vxd::configmg::AddDevice("USB\\VID_F3A9&PID_5201\\E1");
  EXPECT_FALSE(vxd::configmg::Enumerate(usb));
  gEvents.clear();
  ASSERT_EQ(
      CONFIGMG_Register_Enumerator(
          usb,
          [](CONFIGFUNC function, SUBCONFIGFUNC, DEVNODE to, DEVNODE about, ULONG) -> CONFIGRET {
            gEvents.emplace_back(function, about);
            if (function == CONFIG_ENUMERATE) {
              DEVNODE child = 0;
              CONFIGMG_Create_DevNode(&child, "USB\\VID_F3A9&PID_5201\\E1MDM", to, 0);
            }
            return CR_SUCCESS;
          },
          1),
      CR_SUCCESS);
  // Registration has the node enumerated on the kernel's processor.
  world().Call([] {});
  DEVNODE child = 0;
  ASSERT_EQ(CONFIGMG_Get_Child(&child, usb, 0), CR_SUCCESS);
  using Event = std::pair<CONFIGFUNC, DEVNODE>;
  EXPECT_EQ(gEvents, (std::vector<Event>{{CONFIG_ENUMERATE, usb},
                                         {CONFIG_SETUP, child},
                                         {CONFIG_FILTER, child},
                                         {CONFIG_START, child},
                                         {CONFIG_READY, child}}));
  // A second enumeration finds the child there already: nothing new to set up.
  gEvents.clear();
  bool enumerated = false;
  world().Call([&] { enumerated = vxd::configmg::Enumerate(usb); });
  EXPECT_TRUE(enumerated);
  EXPECT_EQ(gEvents, (std::vector<Event>{{CONFIG_ENUMERATE, usb}}));
}

TEST_F(VxdTest, TheBusNamesAPluggedModemsNode) {
  PDEVICE_OBJECT pdo = PlugModem({u"A1B2", u"Modem", true});
  DEVNODE node = 0;
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, "USB\\VID_F3A9&PID_5201\\A1B2", 0), CR_SUCCESS);
  world().Unplug(pdo);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, "USB\\VID_F3A9&PID_5201\\A1B2", 0), CR_NO_SUCH_DEVNODE);
}

}  // namespace
}  // namespace driver_test
