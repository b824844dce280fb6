// Driver entry and unload: the device table, the virtual-device face and the dispatch table.
#include "driver/core/devext.h"
#include "driver/core/vxd_face.h"

WorkerContext* gpWorkerCnts = nullptr;
FAST_MUTEX gFastMutex;

NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING*) {
  ExInitializeFastMutex(&gFastMutex);
  gpWorkerCnts = static_cast<WorkerContext*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkerContext) * kWorkerSlots, kPoolTag));
  if (gpWorkerCnts == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (int i = 0; i < kWorkerSlots; ++i) {
    gpWorkerCnts[i].device = nullptr;
    gpWorkerCnts[i].name[0] = '\0';
  }
  MDMCORE_Init_VxD_Inf();
  driverObject->MajorFunction[IRP_MJ_CREATE] = BulkUsb_Create;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = BulkUsb_Close;
  driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BulkUsb_ProcessIOCTL;
  driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BulkUsb_ProcessSysControlIrp;
  driverObject->MajorFunction[IRP_MJ_PNP] = BulkUsb_ProcessPnPIrp;
  driverObject->MajorFunction[IRP_MJ_POWER] = BulkUsb_ProcessPowerIrp;
  driverObject->DriverUnload = BulkUsb_Unload;
  driverObject->DriverExtension->AddDevice = BulkUsb_PnPAddDevice;
  return STATUS_SUCCESS;
}

void BulkUsb_Unload(DRIVER_OBJECT*) {
  MDMCORE_Finit_VxD_Inf();
  if (gpWorkerCnts != nullptr) {
    ExFreePool(gpWorkerCnts);
    gpWorkerCnts = nullptr;
  }
}
