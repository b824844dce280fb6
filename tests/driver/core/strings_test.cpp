// The modem's serial number and product name as start-device reads them.
#include "platform/wdm/debug.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

using StringsTest = DriverTest;

// Starts a modem whose descriptors `edit` changed and returns its extension's two fields.
template <class Edit>
std::pair<std::string, std::string> Strings(DriverTest& test, Edit edit,
                                            const ModemIdentity& identity = {}) {
  auto modem = std::make_shared<sim::usbdevice::UsbModem>(identity);
  edit(modem->descriptors());
  PDEVICE_OBJECT pdo = test.world().Plug(modem);
  PDEVICE_OBJECT fdo = test.Add(pdo);
  EXPECT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  std::pair<std::string, std::string> fields{Extension(fdo)->serialNumber,
                                             Extension(fdo)->productName};
  test.RemoveAndUnplug(pdo);
  return fields;
}

void Unchanged(sim::usbdevice::Descriptors&) {}

TEST_F(StringsTest, TwelveUnitsGiveTwelveCharacters) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto [serial, product] = Strings(*this, Unchanged, {u"0123456789AB", u"USB Modem", true});
  EXPECT_EQ(serial, "0123456789AB");
  EXPECT_EQ(serial.size(), 12u);
  EXPECT_EQ(product, "USB Modem");
}

TEST_F(StringsTest, UnitsAboveEightBitsKeepTheirLowByte) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto [serial, product] = Strings(*this, Unchanged, {u"A\u0141B\u20AC", u"Modem", true});
  EXPECT_EQ(serial, std::string("A\x41"
                                "B\xAC"));
}

TEST_F(StringsTest, StringIndexZeroReadsTheLanguageList) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto [serial, product] = Strings(*this, Unchanged, {u"", u"Modem", false});
  EXPECT_EQ(serial, "\x09");
}

TEST_F(StringsTest, TheFirstLanguageOfTheListIsUsed) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  // A device that answers only in German (0x0407) and stalls other languages is not modelled;
  // the list's first entry is what the second read asks for.
  const USHORT languages[] = {0x0407, 0x0409};
  auto [serial, product] = Strings(*this, [&](sim::usbdevice::Descriptors& d) {
    d.strings[0] = sim::usbdevice::LanguageList(languages);
  });
  EXPECT_EQ(serial, "0000A1B2C3D4");
}

TEST_F(StringsTest, ALongSerialNumberIsFoundByItsFirst28Characters) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  std::u16string longSerial = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz";
  PDEVICE_OBJECT pdo = PlugModem({longSerial, u"Modem", true});
  PDEVICE_OBJECT fdo = Add(pdo);
  platform::wdm::debug::Capture capture;
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  // 62 characters: 126 bytes announced, 115 read.
  EXPECT_NE(capture.Text().find("string 3 is 126 bytes long; only 115 are read\n"),
            std::string::npos)
      << capture.Text();
  // 115 bytes arrive for a 128-byte caller: 56 characters at most.
  EXPECT_EQ(std::string(Ext(fdo)->serialNumber),
            "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrst");
  world().Call([&] {
    EXPECT_EQ(std::string(gpWorkerCnts[0].name), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01");
    EXPECT_EQ(findTheDeviceObject("ABCDEFGHIJKLMNOPQRSTUVWXYZ01"), fdo);
    EXPECT_EQ(findTheDeviceObject("ABCDEFGHIJKLMNOPQRSTUVWXYZ012"), nullptr);
  });
  RemoveAndUnplug(pdo);
}

TEST_F(StringsTest, LyingLengthBytesAreBoundedByTheTransfer) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  for (BYTE lengthByte : {BYTE{0}, BYTE{1}}) {
    auto [serial, product] = Strings(*this, [&](sim::usbdevice::Descriptors& d) {
      d.strings[sim::usbdevice::kSerialIndex] = {lengthByte, 3, 'X', 0, 'Y', 0};
    });
    EXPECT_EQ(serial, "") << int(lengthByte);
  }
  // Claims 200 bytes, sends 6: two characters.
  auto [serial, product] = Strings(*this, [](sim::usbdevice::Descriptors& d) {
    d.strings[sim::usbdevice::kSerialIndex] = {200, 3, 'X', 0, 'Y', 0};
  });
  EXPECT_EQ(serial, "XY");
}

TEST_F(StringsTest, AFailedReadLeavesTheFieldAsItWas) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto [serial, product] = Strings(*this, [](sim::usbdevice::Descriptors& d) {
    d.stalled.insert({3, sim::usbdevice::kSerialIndex});
  });
  EXPECT_EQ(serial, "");
  EXPECT_EQ(product, "USB Modem");
}

// A modem that counts the string descriptor reads it answers.
class StringCountingModem : public sim::usbdevice::UsbModem {
 public:
  using UsbModem::UsbModem;
  USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                      ULONG& transferred) override {
    if (setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && setup.wValue >> 8 == 3) ++stringReads;
    return UsbModem::Control(setup, data, transferred);
  }
  int stringReads = 0;
};

// The descriptor buffer is the caller's length - 13 bytes and must hold at least the 2-byte
// header: a shorter caller length is refused before anything is allocated or sent, and leaves
// the caller's buffer and length as they were.
TEST_F(StringsTest, ACallerLengthUnder15IsRefusedWithoutARead) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  auto modem = std::make_shared<StringCountingModem>();
  PDEVICE_OBJECT pdo = world().Plug(modem);
  PDEVICE_OBJECT fdo = Add(pdo);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  world().Call([&] {
    const int readsBefore = modem->stringReads;
    std::vector<UCHAR> buffer(64, 0xAB);
    for (ULONG callerLength : {0u, 1u, 13u, 14u}) {
      SCOPED_TRACE(callerLength);
      ULONG length = callerLength;
      pool::ResetCount();
      EXPECT_EQ(USBDEV_GetStringDescriptor(fdo, sim::usbdevice::kSerialIndex, 0x0409, buffer.data(),
                                           &length),
                STATUS_INVALID_PARAMETER);
      EXPECT_EQ(length, callerLength);
      EXPECT_EQ(pool::Count(), 0u);
    }
    EXPECT_EQ(modem->stringReads, readsBefore);
    EXPECT_EQ(buffer, std::vector<UCHAR>(64, 0xAB));

    // 15 is the least that is read: a 2-byte buffer holds the header and no text.
    ULONG length = 15;
    EXPECT_EQ(USBDEV_GetStringDescriptor(fdo, sim::usbdevice::kSerialIndex, 0x0409, buffer.data(),
                                         &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(modem->stringReads, readsBefore + 1);
  });
  RemoveAndUnplug(pdo);
}

}  // namespace
}  // namespace driver_test
