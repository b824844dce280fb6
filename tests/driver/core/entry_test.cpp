// Driver entry and unload, the device table, the request count and the simple dispatch routines.
#include <cstring>

#include "driver/core/vxd_face.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

using EntryTest = DriverTest;

TEST_F(EntryTest, LoadAllocatesTheTableAndRegistersTheFaceUnloadUndoesBoth) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  pool::Report report = pool::Outstanding();
  ASSERT_EQ(report.blocks.size(), 1u);
  EXPECT_EQ(pool::TagText(report.blocks[0].tag), "Wdm ");
  EXPECT_EQ(report.blocks[0].size, sizeof(WorkerContext) * 4);
  for (int i = 0; i < kWorkerSlots; ++i) {
    EXPECT_EQ(gpWorkerCnts[i].device, nullptr);
    EXPECT_EQ(gpWorkerCnts[i].name[0], '\0');
  }
  VxD_Desc_Block* ddb = Get_DDB(0, "MDMCORE ");
  ASSERT_NE(ddb, nullptr);
  EXPECT_EQ(ddb->DDB_Req_Device_Number, 0x8802);
  EXPECT_EQ(Get_DDB(0x8802, nullptr), ddb);
  EXPECT_EQ(ddb->DDB_Prev, 0x50726576u);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], BulkUsb_ProcessPnPIrp);
  EXPECT_EQ(driver_->DriverExtension->AddDevice, BulkUsb_PnPAddDevice);

  Unload();
  EXPECT_EQ(gpWorkerCnts, nullptr);
  EXPECT_EQ(Get_DDB(0, "MDMCORE "), nullptr);
}

TEST_F(EntryTest, NoTableNoDriver) {
  pool::FailNth(1, pool::kPool);
  EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(driver_, nullptr);
  EXPECT_EQ(Get_DDB(0, "MDMCORE "), nullptr);
}

TEST_F(EntryTest, ControlMessagesCarryTheirResultInTheCarryFlag) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  // No port side can attach yet: both private messages find no unit and set the carry.
  EXPECT_TRUE(platform::vxd::SendControlMessage("MDMCORE", kPortDispatch, 0));
  EXPECT_TRUE(platform::vxd::SendControlMessage("MDMCORE", kPortPoll, 0));
  EXPECT_FALSE(platform::vxd::SendControlMessage("MDMCORE", 0x12345678, 0));
}

TEST_F(EntryTest, IoCountSignalsIdleAtOneAndRemoveAtZero) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  world().Call([&] {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(BulkUsb_CreateDeviceObject(driver_, nullptr, &device), STATUS_SUCCESS);
    DEVICE_EXTENSION* extension = Ext(device);
    EXPECT_EQ(extension->pipeMaxTransfer, 4096u);
    EXPECT_EQ(BulkUsb_IncrementIoCount(device), 1);
    EXPECT_EQ(BulkUsb_IncrementIoCount(device), 2);
    EXPECT_EQ(BulkUsb_DecrementIoCount(device), 1);
    EXPECT_EQ(KeReadStateEvent(&extension->idleEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&extension->removeEvent), 0);
    KeClearEvent(&extension->idleEvent);
    EXPECT_EQ(BulkUsb_DecrementIoCount(device), 0);
    EXPECT_EQ(KeReadStateEvent(&extension->idleEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&extension->removeEvent), 1);
    IoDeleteDevice(device);
  });
}

TEST_F(EntryTest, DeviceTableLookupIsAPrefixMatchUnderTheMutex) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  world().Call([&] {
    auto* a = reinterpret_cast<DEVICE_OBJECT*>(0x1000);
    auto* b = reinterpret_cast<DEVICE_OBJECT*>(0x2000);
    gpWorkerCnts[1].device = a;
    std::strcpy(gpWorkerCnts[1].name, "A1B2C3D4E5F6");
    gpWorkerCnts[2].device = b;
    std::strcpy(gpWorkerCnts[2].name, "A1B2ZZ");
    EXPECT_EQ(findTheDeviceObject("A1B2C3D4E5F6"), a);
    EXPECT_EQ(findTheDeviceObject("A1B2"), a);  // the first slot that begins with it
    EXPECT_EQ(findTheDeviceObject("A1B2Z"), b);
    EXPECT_EQ(findTheDeviceObject("A1B2C3D4E5F6X"), nullptr);
    EXPECT_EQ(findTheDeviceObject(""), nullptr);  // slot 0 holds nothing
    EXPECT_EQ(findTheDeviceObject(std::string(100, 'A').c_str()), nullptr);
    EXPECT_EQ(findTheWorkerContext(b), &gpWorkerCnts[2]);
    EXPECT_EQ(findAFreeWorkerContext(), &gpWorkerCnts[0]);
    gpWorkerCnts[0].device = b;
    EXPECT_EQ(findAFreeWorkerContext(), &gpWorkerCnts[3]);
    for (auto& slot : std::span(gpWorkerCnts, 4)) slot = WorkerContext{{}, nullptr};
  });
}

TEST_F(EntryTest, AFifthModemGetsNoSlotButStartsAndGoesAway) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  std::vector<PDEVICE_OBJECT> pdos;
  for (int i = 0; i < 5; ++i) {
    std::u16string serial = u"SERIAL" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    pdos.push_back(PlugModem({serial, u"Modem", true}));
    Add(pdos.back());
    EXPECT_EQ(pnp::StartDevice(pdos.back()), STATUS_SUCCESS);
  }
  world().Call([&] {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(gpWorkerCnts[i].device, pdos[i]->AttachedDevice);
      EXPECT_EQ(std::string(gpWorkerCnts[i].name), "SERIAL" + std::to_string(i));
    }
    EXPECT_EQ(findTheDeviceObject("SERIAL4"), nullptr);
    EXPECT_EQ(findTheDeviceObject("SERIAL3"), pdos[3]->AttachedDevice);
  });
  EXPECT_TRUE(Ext(pdos[4]->AttachedDevice)->started);
  for (PDEVICE_OBJECT pdo : pdos) RemoveAndUnplug(pdo);
  world().Call([&] {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(gpWorkerCnts[i].device, nullptr);
  });
}

TEST_F(EntryTest, OpenCloseAndDeviceControl) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = PlugModem({u"CLOSE1", u"Modem", true});
  PDEVICE_OBJECT fdo = Add(pdo);
  // Not started yet: opens are refused.
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_CREATE), STATUS_DELETE_PENDING);
  ASSERT_EQ(pnp::StartDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_DEVICE_CONTROL), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_SYSTEM_CONTROL), STATUS_SUCCESS);
  // An accepted query-stop: opens are refused until it is cancelled.
  world().Call([&] { EXPECT_EQ(pnp::Send(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS); });
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_CREATE), STATUS_DELETE_PENDING);
  world().Call([&] { EXPECT_EQ(pnp::Send(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS); });
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_CREATE), STATUS_SUCCESS);
  // A close frees the slot: the modem can no longer be found by its serial number.
  world().Call([&] { EXPECT_EQ(findTheDeviceObject("CLOSE1"), fdo); });
  EXPECT_EQ(SendMajor(fdo, IRP_MJ_CLOSE), STATUS_SUCCESS);
  world().Call([&] { EXPECT_EQ(findTheDeviceObject("CLOSE1"), nullptr); });
  EXPECT_EQ(Ext(fdo)->ioCount, 1);
  RemoveAndUnplug(pdo);
}

}  // namespace
}  // namespace driver_test
