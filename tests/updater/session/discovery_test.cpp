// Reading the serial-port map and classifying the identification answers.
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/descriptor_limit.h"
#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

using namespace std::chrono_literals;
using DiscoveryTest = UpdateHarness;

void SetValue(const std::string& name, const std::string& data) {
  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                 static_cast<DWORD>(data.size()));
  RegCloseKey(key);
}

TEST_F(DiscoveryTest, ANameTooLongForItsRoomEndsTheList) {
  SetValue("COM1", std::string("COM1", 5));
  SetValue("Serial12", std::string("COM2", 5));  // 8 characters: no room for the terminator
  SetValue("COM3", std::string("COM3", 5));
  EXPECT_EQ(EnumSerialPorts(kMaxPorts), 1u);
  EXPECT_STREQ(updateSession.PortTable[0].name, "COM1");
  EXPECT_STREQ(updateSession.PortTable[1].name, "");
}

// Out of descriptors, the serial-port map cannot be read for that cause, which the session names
// instead of blaming a missing driver.
TEST_F(DiscoveryTest, NoDescriptorLeftForThePortListIsNamedAsTheCause) {
  if (!testing_support::DescriptorLimit::kUsable) {
    GTEST_SKIP() << testing_support::DescriptorLimit::kWhyNot;
  }
  SetValue("COM3", std::string("COM3", 5));
  // A copy in the file's place: the registry reads it again at its next open.
  const std::filesystem::path file = root.file();
  std::filesystem::copy_file(file, file.string() + ".copy");
  std::filesystem::rename(file.string() + ".copy", file);
  {
    testing_support::DescriptorLimit limit(0);
    EnumSerialPorts(kMaxPorts);
  }
  EXPECT_TRUE(portListUnreadable);
  EXPECT_TRUE(portListNoHandles);
}

// Out of descriptors, a port the search passes over is said so in the log.
TEST_F(DiscoveryTest, APortOpenWithoutADescriptorLeftIsNamedInTheLog) {
  if (!testing_support::DescriptorLimit::kUsable) {
    GTEST_SKIP() << testing_support::DescriptorLimit::kWhyNot;
  }
  MakeLogWindow();
  int master = -1;
  int slave = -1;
  char terminal[128];
  ASSERT_EQ(::openpty(&master, &slave, terminal, nullptr, nullptr), 0);
  std::filesystem::create_directories(root.path() / "dosdevices");
  std::filesystem::create_symlink(terminal, root.path() / "dosdevices" / "com7");
  ListPort("COM7", "COM7");
  updateSession.portCount = static_cast<LONG>(EnumSerialPorts(kMaxPorts));
  {
    testing_support::DescriptorLimit limit(0);
    CheckModem(0);
  }
  EXPECT_NE(Log().find("COM7 cannot be opened: too many open files.\r\n"), std::string::npos)
      << Log();
  ::close(master);
  ::close(slave);
}

TEST_F(DiscoveryTest, ElevenValuesFillTheTableAndAreCounted) {
  for (int i = 1; i <= 11; ++i) {
    std::string name = "COM" + std::to_string(i);
    SetValue(name, name + '\0');
  }
  EXPECT_EQ(EnumSerialPorts(kMaxPorts), 10u);
  EXPECT_STREQ(updateSession.PortTable[9].name, "COM10");
}

TEST_F(DiscoveryTest, DataIsCutTo31CharactersAndLongerDataEndsTheList) {
  SetValue("A", std::string(32, 'x'));  // exactly the data room, not terminated
  SetValue("B", std::string(33, 'y'));
  EXPECT_EQ(EnumSerialPorts(kMaxPorts), 1u);
  EXPECT_EQ(std::string(updateSession.PortTable[0].name), std::string(31, 'x'));
}

TEST_F(DiscoveryTest, AnswersAreClassifiedByTheirFirstUsb) {
  AddModem("COM1");
  AddModem("COM2", {.hasModemCode = false});
  AddModem("COM3", {.extraText = "USB noise\r\n"});  // another "USB" before the line
  AddModem("COM4", {.burstGap = 400ms});             // the line comes after the read ended
  AddModem("COM5", {}, MS_RING_ON);                  // no CTS or DSR: still probed here
  updateSession.portCount = static_cast<LONG>(EnumSerialPorts(kMaxPorts));
  CheckAllPorts();
  const PortEntry* table = updateSession.PortTable;
  EXPECT_EQ(table[0].isUsbModem, 1);
  EXPECT_EQ(table[0].noModemCode, 0);
  EXPECT_EQ(table[1].isUsbModem, 1);
  EXPECT_EQ(table[1].noModemCode, 1);
  EXPECT_EQ(table[2].isUsbModem, 0);
  EXPECT_EQ(table[3].isUsbModem, 0);
  EXPECT_EQ(table[4].isUsbModem, 1);
  EXPECT_EQ(updateSession.modemCount, 3);
  // Each probe created and closed its own pair of events and closed its port.
  EXPECT_EQ(commPortSession.readEvent, nullptr);
  for (const auto& port : ports) EXPECT_FALSE(port->Snapshot().open);
}

TEST_F(DiscoveryTest, APortThatAnswersNothingCostsOneSecondAndTheTenSecondWait) {
  AddPlainPort("COM1");
  updateSession.portCount = static_cast<LONG>(EnumSerialPorts(kMaxPorts));
  CheckAllPorts();
  EXPECT_EQ(time.NowMs(), 100 + 1000 + 10000);  // DTR pulse, pause, answer wait
  EXPECT_EQ(debug.Text(), "READ TIMEOUT\n");
}

TEST_F(DiscoveryTest, TheListStopsAtTheFirstEmptyName) {
  MakeLogWindow();
  std::strcpy(updateSession.PortTable[0].name, "COM1");
  std::strcpy(updateSession.PortTable[2].name, "COM3");
  updateSession.PortTable[2].isUsbModem = 1;
  updateSession.portCount = 3;
  LogPortList();
  EXPECT_EQ(Log(), "COM1,  ! USB_Modem\r\n\r\n");
}

TEST_F(DiscoveryTest, WaitForAnswerSearchesOnlyTheBytesOfThisReply) {
  MakeLogWindow();
  auto modem = AddModem("COM3");
  commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.port = OpenCommPort("COM3", 250);
  std::memcpy(ModemReplyBuffer, ">>>>>>>>>>>>>>>>>>>>>>>>", 24);  // stale bytes of an old reply
  WriteToComm(reinterpret_cast<const BYTE*>("at\r\n"), 4);
  EXPECT_FALSE(WaitForAnswer(TRUE, ">>>", 5000));
  EXPECT_FALSE(WaitForAnswer(FALSE, "", 5000));  // nothing more comes
  CloseCommPort();
  CloseHandle(commPortSession.readEvent);
  CloseHandle(commPortSession.writeEvent);
  EXPECT_TRUE(Log().ends_with("\r\nNo answer from the modem!!!\r\n"));
}

}  // namespace
}  // namespace update_test
