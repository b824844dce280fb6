#include "driver/usb/channel.h"

#include <cstring>

#include "platform/vxd/flat.h"

namespace engine {

const USBD_PIPE_INFORMATION* FindPipe(DEVICE_OBJECT* deviceObject, UCHAR endpoint,
                                      USBD_PIPE_TYPE type) {
  const USBD_INTERFACE_INFORMATION* interface = Extension(deviceObject)->interfaceInfo;
  if (interface == nullptr) return nullptr;
  ULONG room = interface->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)
                   ? 0
                   : (interface->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                         sizeof(USBD_PIPE_INFORMATION);
  ULONG pipes = interface->NumberOfPipes < room ? interface->NumberOfPipes : room;
  for (ULONG i = 0; i < pipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = interface->Pipes[i];
    if (pipe.EndpointAddress == endpoint && pipe.PipeType == type) return &pipe;
  }
  return nullptr;
}

bool AllocateRequest(DEVICE_OBJECT* deviceObject, IRP** irp, URB** urb, ULONG urbSize) {
  if (*irp == nullptr) {
    *irp = IoAllocateIrp(static_cast<CCHAR>(Extension(deviceObject)->lowerDevice->StackSize + 1),
                         FALSE);
  }
  if (*urb == nullptr) {
    *urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, urbSize, kPoolTag));
  }
  if (*irp != nullptr && *urb != nullptr) return true;
  ReleaseRequest(irp, urb);
  return false;
}

void ReleaseRequest(IRP** irp, URB** urb) {
  if (*irp != nullptr) IoFreeIrp(*irp);
  if (*urb != nullptr) ExFreePool(*urb);
  *irp = nullptr;
  *urb = nullptr;
}

bool InFlight(const IRP* irp) {
  return irp != nullptr && irp->CurrentLocation <= irp->StackCount;
}

void BuildIsoUrb(URB* urb, const USBD_PIPE_INFORMATION& pipe, UCHAR* buffer, ULONG length,
                 ULONG flags, ULONG startFrame) {
  std::memset(urb, 0, kIsoUrbSize);
  _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(kIsoUrbSize);
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = pipe.PipeHandle;
  iso.TransferFlags = flags;
  iso.TransferBuffer = platform::vxd::ToFlat(buffer);
  iso.TransferBufferLength = length;
  iso.StartFrame = startFrame;
  iso.NumberOfPackets = 1;
  iso.IsoPacket[0].Offset = 0;
}

NTSTATUS Submit(DEVICE_OBJECT* deviceObject, IRP* irp, URB* urb,
                PIO_COMPLETION_ROUTINE completion) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, completion, deviceObject, TRUE, TRUE, TRUE);
  BulkUsb_IncrementIoCount(deviceObject);
  return IofCallDriver(Extension(deviceObject)->lowerDevice, irp);
}

}  // namespace engine

// The bus answers the frame query inside the call; the request stays with the driver for the
// transfer that follows.
NTSTATUS IsoUsb_CompletionStop(DEVICE_OBJECT*, IRP*, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG IsoUsb_GetCurrentFrame(DEVICE_OBJECT* deviceObject, IRP* irp) {
  alignas(8) UCHAR storage[engine::kFrameUrbSize] = {};
  auto* urb = reinterpret_cast<URB*>(storage);
  urb->UrbHeader.Length = static_cast<USHORT>(engine::kFrameUrbSize);
  urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  urb->UrbGetCurrentFrameNumber.FrameNumber = 0xFFFFFFFF;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, IsoUsb_CompletionStop, nullptr, TRUE, TRUE, TRUE);
  IofCallDriver(Extension(deviceObject)->lowerDevice, irp);
  return urb->UrbGetCurrentFrameNumber.FrameNumber;
}
