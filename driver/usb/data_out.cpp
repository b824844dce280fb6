// The data-out path: one 64-byte packet per transfer to isochronous OUT 0x06, filled from the
// port side's transmit queue, at most one transfer in flight. Two kinds of failed transfer are
// sent again with the identical 64 bytes.
#include <cstring>

#include "driver/usb/channel.h"
#include "driver/wire.h"
#include "platform/vxd/flat.h"

using engine::ModemOf;

namespace {

constexpr engine::IsoPath kDataOutPath = {kDataOutEndpoint, USBD_SHORT_TRANSFER_OK, false,
                                          IsoUsb_IsoIrp_DataWriteComplete};

// The checks of engine::StartIsoTransfer for the data-out path, and its allocation, made ahead
// of it.
bool CanBuildDataWrite(DEVICE_OBJECT* deviceObject) {
  DataChannel& channel = ModemOf(deviceObject).dataOut;
  return BulkUsb_CanAcceptIoRequests(deviceObject) &&
         engine::FindPipe(deviceObject, kDataOutPath.endpoint, UsbdPipeTypeIsochronous) !=
             nullptr &&
         engine::AllocateRequest(deviceObject, &channel.irp, &channel.urb, engine::kIsoUrbSize);
}

}  // namespace

NTSTATUS IsoUsb_DataWritePacket(DEVICE_OBJECT* deviceObject, ULONG frameOffset, ULONG count) {
  MDMContext& modem = ModemOf(deviceObject);
  DataChannel& channel = modem.dataOut;
  if (channel.busy != 0) return STATUS_UNSUCCESSFUL;
  // An idle channel has no transfer with the bus: busy stays set until the completion is done.
  MDM_ASSERT(!engine::InFlight(channel.irp));
  Store(&channel.busy, 1);
  // Bytes taken from the port side cannot be given back: the request is made ready first, so
  // that a device that is stopping or a pool without memory leaves them in the port's queue.
  if (!CanBuildDataWrite(deviceObject)) {
    Store(&channel.busy, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(channel.buffer, 0, sizeof(channel.buffer));
  IsoUsb_DataWrite_GetFromVxd(&modem, count);
  NTSTATUS status = IsoUsb_BuildDataWriteRequest(deviceObject, frameOffset);
  if (!NT_SUCCESS(status)) Store(&channel.busy, 0);  // refused by the bus: the device is gone
  return status;
}

namespace {

// Host bytes under software flow control: XON/XOFF set hostXon and leave the packet unless the
// modem asked to keep them.
void FilterHostBytes(MDMContext& modem) {
  UCHAR* packet = modem.dataOut.buffer;
  ULONG length = packet[offsetof(DataOutPacket, length)];
  if (length > kPacketPayload) length = kPacketPayload;
  UCHAR* payload = packet + offsetof(DataOutPacket, payload);
  MDM_ASSERT(length <= sizeof(modem.outScratch));  // every kept byte has room
  ULONG kept = 0;
  for (ULONG i = 0; i < length; ++i) {
    UCHAR byte = payload[i];
    bool flow = true;
    if (byte == modem.xonChar) {
      Store(&modem.hostXon, 1);
    } else if (byte == modem.xoffChar) {
      Store(&modem.hostXon, 0);
    } else {
      flow = false;
    }
    if (!flow || modem.keepXonXoff != 0) modem.outScratch[kept++] = byte;
  }
  if (kept == length) return;
  packet[offsetof(DataOutPacket, length)] = static_cast<UCHAR>(kept);
  std::memcpy(payload, modem.outScratch, kept);  // the positions after them keep their bytes
}

}  // namespace

void IsoUsb_DataWrite_GetFromVxd(MDMContext* context, ULONG count) {
  UCHAR* packet = context->dataOut.buffer;
  packet[offsetof(DataOutPacket, sequence)] = static_cast<UCHAR>(context->status.outSequence);
  packet[offsetof(DataOutPacket, length)] = static_cast<UCHAR>(count);
  if (context->portAttached != 0) {
    PortRecord record{};
    PortCall(*context, PORT_GET_DATA,
             platform::vxd::ToFlat(packet + offsetof(DataOutPacket, length)), &record);
  }
  if (context->readSoftFlow != 0) FilterHostBytes(*context);
}

NTSTATUS IsoUsb_BuildDataWriteRequest(DEVICE_OBJECT* deviceObject, ULONG frameOffset) {
  DataChannel& channel = ModemOf(deviceObject).dataOut;
  return engine::StartIsoTransfer(
      deviceObject, kDataOutPath,
      {&channel.irp, &channel.urb, channel.buffer, sizeof(channel.buffer)}, frameOffset);
}

NTSTATUS IsoUsb_DataResendPacket(DEVICE_OBJECT* deviceObject, ULONG frameOffset) {
  return IsoUsb_BuildDataWriteRequest(deviceObject, frameOffset);
}

NTSTATUS IsoUsb_IsoIrp_DataWriteComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  // The request has no stack location of this driver: the device comes as the context.
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  DataChannel& channel = ModemOf(deviceObject).dataOut;
  // The channel's own request comes back, and the channel stays busy until it is handled.
  MDM_ASSERT(irp == channel.irp);
  MDM_ASSERT(channel.busy != 0);
  NTSTATUS status = irp->IoStatus.Status;
  const _URB_ISOCH_TRANSFER& iso = channel.urb->UrbIsochronousTransfer;
  USBD_STATUS urbStatus = iso.Hdr.Status;
  USBD_STATUS packetStatus = iso.IsoPacket[0].Status;
  ULONG packetLength = iso.IsoPacket[0].Length;
  BulkUsb_DecrementIoCount(deviceObject);
  channel.resultFlags = 0;
  if (!NT_SUCCESS(status)) {
    channel.resultFlags = kResultRequestFailed;
    if (status == STATUS_DEVICE_DATA_ERROR && packetStatus == engine::kPacketMissed &&
        packetLength == 0 && NT_SUCCESS(IsoUsb_DataResendPacket(deviceObject, kFrameOffset))) {
      channel.resultFlags = kResultRetry;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  }
  if (!USBD_SUCCESS(urbStatus)) channel.resultFlags += kResultUrbFailed;
  if (!USBD_SUCCESS(packetStatus)) {
    if (channel.resultFlags == 0 && packetStatus == engine::kPacketNotAccessed &&
        packetLength == 0 && NT_SUCCESS(IsoUsb_DataResendPacket(deviceObject, kFrameOffset))) {
      channel.resultFlags = kResultRetry;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    channel.resultFlags += kResultPacketFailed;
  }
  engine::ReleaseRequest(&channel.irp, &channel.urb);
  Store(&channel.busy, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS IsoUsb_DataWriteFreeResource(DEVICE_OBJECT* deviceObject) {
  DataChannel& channel = ModemOf(deviceObject).dataOut;
  if (channel.busy == 0) engine::ReleaseRequest(&channel.irp, &channel.urb);
  return STATUS_SUCCESS;
}
