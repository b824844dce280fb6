#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

NTSTATUS KeepIt(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS DriverTest::SendMajor(PDEVICE_OBJECT device, UCHAR major) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  world().Call([&] {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    if (major == IRP_MJ_DEVICE_CONTROL) next->Parameters.DeviceIoControl.IoControlCode = 0x222000;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, KeepIt, &done, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
  });
  return status;
}

}  // namespace driver_test
