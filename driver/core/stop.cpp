// Unconfiguring, aborting the pipes, and releasing what a start kept.
#include <cstring>

#include "driver/core/descriptors.h"

namespace {

constexpr ULONG kUnconfigureSize = sizeof(_URB_SELECT_CONFIGURATION);
constexpr ULONG kAbortSize = sizeof(_URB_PIPE_REQUEST);
static_assert(kUnconfigureSize == 60 && kAbortSize == 24);

// How many pipes the interface information holds, never more than its length has room for.
ULONG PipeCount(const USBD_INTERFACE_INFORMATION* interface) {
  ULONG room = interface->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)
                   ? 0
                   : (interface->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                         sizeof(USBD_PIPE_INFORMATION);
  return interface->NumberOfPipes < room ? interface->NumberOfPipes : room;
}

}  // namespace

NTSTATUS BulkUsb_StopDevice(DEVICE_OBJECT* deviceObject) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, kUnconfigureSize, kPoolTag));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb != nullptr) {
    std::memset(urb, 0, kUnconfigureSize);
    urb->UrbHeader.Length = kUnconfigureSize;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = 0;
    status = BulkUsb_CallUSBD(deviceObject, urb);
    if (NT_SUCCESS(status)) extension->started = FALSE;
    ExFreePool(urb);
  }
  extension->stopPending = FALSE;
  return status;
}

NTSTATUS BulkUsb_AbortPipes(DEVICE_OBJECT* deviceObject) {
  USBD_INTERFACE_INFORMATION* interface = Extension(deviceObject)->interfaceInfo;
  if (interface == nullptr) return STATUS_SUCCESS;
  ULONG pipes = PipeCount(interface);
  for (ULONG i = 0; i < pipes; ++i) {
    auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, kAbortSize, kPoolTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(urb, 0, kAbortSize);
    urb->UrbHeader.Length = kAbortSize;
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = interface->Pipes[i].PipeHandle;
    NTSTATUS status = BulkUsb_CallUSBD(deviceObject, urb);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS BulkUsb_RemoveDevice(DEVICE_OBJECT* deviceObject) {
  ReleaseConfiguration(Extension(deviceObject));
  return STATUS_SUCCESS;
}
