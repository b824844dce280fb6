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
  if (*irp != nullptr && *urb != nullptr) {
    // A request kept from an earlier transfer is reused only once the bus has given it back.
    MDM_ASSERT(!InFlight(*irp));
    return true;
  }
  ReleaseRequest(irp, urb);
  return false;
}

void ReleaseRequest(IRP** irp, URB** urb) {
  // A request is freed only once the bus has given it back; until then its completion owns it.
  MDM_ASSERT(!InFlight(*irp));
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
  // One packet of at most the 64 bytes of a data packet, in a URB of the channel's own.
  MDM_ASSERT(urb != nullptr && buffer != nullptr);
  MDM_ASSERT(length <= sizeof(DataChannel::buffer));
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
  MDM_ASSERT(!InFlight(irp));  // a request goes to the bus only from its channel
  MDM_ASSERT(urb != nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, completion, deviceObject, TRUE, TRUE, TRUE);
  BulkUsb_IncrementIoCount(deviceObject);
  return IofCallDriver(Extension(deviceObject)->lowerDevice, irp);
}

NTSTATUS StartIsoTransfer(DEVICE_OBJECT* deviceObject, const IsoPath& path,
                          const IsoRequest& request, ULONG frameOffset) {
  if (!BulkUsb_CanAcceptIoRequests(deviceObject)) return STATUS_INSUFFICIENT_RESOURCES;
  const USBD_PIPE_INFORMATION* pipe =
      FindPipe(deviceObject, path.endpoint, UsbdPipeTypeIsochronous);
  if (pipe == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!AllocateRequest(deviceObject, request.irp, request.urb, kIsoUrbSize)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (path.zeroBuffer) std::memset(request.buffer, 0, request.length);
  ULONG frame = IsoUsb_GetCurrentFrame(deviceObject, *request.irp);
  BuildIsoUrb(*request.urb, *pipe, request.buffer, request.length, path.transferFlags,
              frame + frameOffset - 1);
  NTSTATUS status = Submit(deviceObject, *request.irp, *request.urb, path.completion);
  if (!NT_SUCCESS(status) && !InFlight(*request.irp)) ReleaseRequest(request.irp, request.urb);
  return status;
}

}  // namespace engine

// The bus answers the frame query inside the call; the request stays with the driver for the
// transfer that follows.
NTSTATUS IsoUsb_CompletionStop(DEVICE_OBJECT*, IRP*, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG IsoUsb_GetCurrentFrame(DEVICE_OBJECT* deviceObject, IRP* irp) {
  // A whole URB, so that its members are reached inside an object of their union's size; the
  // header still gives the bus the frame query's 20 bytes.
  URB storage{};
  URB* urb = &storage;
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
