// The data-in path: one 64-byte transfer at a time from isochronous IN 0x85, tested, filtered
// and handed to the port side.
#include <cstring>

#include "driver/usb/channel.h"
#include "driver/wire.h"
#include "platform/vxd/flat.h"

using engine::ModemOf;

namespace {

constexpr engine::IsoPath kDataInPath = {kDataInEndpoint,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, true,
                                         IsoUsb_IsoIrp_DataReadComplete};

}  // namespace

NTSTATUS IsoUsb_DataReadPacket(DEVICE_OBJECT* deviceObject, ULONG frameOffset) {
  DataChannel& channel = ModemOf(deviceObject).dataIn;
  if (channel.busy != 0) return STATUS_INSUFFICIENT_RESOURCES;
  // An idle channel has no transfer with the bus: busy stays set until the completion is done.
  MDM_ASSERT(!engine::InFlight(channel.irp));
  Store(&channel.busy, 1);
  NTSTATUS status = IsoUsb_BuildDataReadRequest(deviceObject, frameOffset);
  if (!NT_SUCCESS(status)) Store(&channel.busy, 0);
  return status;
}

NTSTATUS IsoUsb_BuildDataReadRequest(DEVICE_OBJECT* deviceObject, ULONG frameOffset) {
  DataChannel& channel = ModemOf(deviceObject).dataIn;
  return engine::StartIsoTransfer(
      deviceObject, kDataInPath,
      {&channel.irp, &channel.urb, channel.buffer, sizeof(channel.buffer)}, frameOffset);
}

NTSTATUS IsoUsb_DataRead_ResendRequest(DEVICE_OBJECT* deviceObject, ULONG frameOffset) {
  NTSTATUS status = IsoUsb_BuildDataReadRequest(deviceObject, frameOffset);
  return NT_SUCCESS(status) ? status : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS IsoUsb_ProcessDataReadTransfer(MDMContext* context) {
  DataChannel& channel = context->dataIn;
  // Evaluated in the completion only, while the channel still holds the finished transfer.
  MDM_ASSERT(channel.irp != nullptr && channel.urb != nullptr);
  const _URB_ISOCH_TRANSFER& iso = channel.urb->UrbIsochronousTransfer;
  channel.resultFlags = 0;
  if (!NT_SUCCESS(channel.irp->IoStatus.Status)) channel.resultFlags += kResultRequestFailed;
  if (!USBD_SUCCESS(iso.Hdr.Status)) channel.resultFlags += kResultUrbFailed;
  USBD_STATUS packetStatus = iso.IsoPacket[0].Status;
  if (!USBD_SUCCESS(packetStatus)) {
    if (channel.resultFlags == 0 && iso.IsoPacket[0].Length == 0 &&
        packetStatus == engine::kPacketNotAccessed) {
      channel.resultFlags = kResultRetry;
    } else {
      channel.resultFlags += kResultPacketFailed;
    }
    MDM_ASSERT(channel.resultFlags == kResultRetry || channel.resultFlags < kResultRetry);
    return STATUS_UNSUCCESSFUL;
  }
  return IsoUsb_DataReadPktControlProtocol(&channel);
}

// A length above 62 would put the sequence byte past the 64 bytes: such a packet carries no
// data, and nothing beyond the buffer is read.
NTSTATUS IsoUsb_DataReadPktControlProtocol(DataChannel* channel) {
  ULONG length = channel->buffer[offsetof(DataInPacket, length)];
  if (length > kPacketPayload) return STATUS_UNSUCCESSFUL;
  ULONG at = offsetof(DataInPacket, bytes) + length;
  MDM_ASSERT(at < sizeof(channel->buffer));  // the sequence byte lies in the 64 bytes
  UCHAR sequence = channel->buffer[at];
  return sequence < kFirstSequence || sequence > kMaxSequence ? STATUS_UNSUCCESSFUL
                                                              : STATUS_SUCCESS;
}

NTSTATUS IsoUsb_IsoIrp_DataReadComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  // The request has no stack location of this driver: the device comes as the context.
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  MDMContext& modem = ModemOf(deviceObject);
  DataChannel& channel = modem.dataIn;
  // The channel's own request comes back, and the channel stays busy until it is handled.
  MDM_ASSERT(irp == channel.irp);
  MDM_ASSERT(channel.busy != 0);
  BulkUsb_DecrementIoCount(deviceObject);
  if (NT_SUCCESS(IsoUsb_ProcessDataReadTransfer(&modem))) {
    IsoUsb_DataRead_PutIntoVxd(&modem);
  } else if (channel.resultFlags == kResultRetry &&
             NT_SUCCESS(IsoUsb_DataRead_ResendRequest(deviceObject, kFrameOffset))) {
    return STATUS_MORE_PROCESSING_REQUIRED;  // in flight again, the channel stays busy
  }
  engine::ReleaseRequest(&channel.irp, &channel.urb);
  Store(&channel.busy, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void IsoUsb_DataRead_PutIntoVxd(MDMContext* context) {
  UCHAR* packet = context->dataIn.buffer;
  ULONG length = packet[offsetof(DataInPacket, length)];
  if (length == 0 || length > kPacketPayload) return;
  if (context->outX != 0) {
    UCHAR* payload = packet + offsetof(DataInPacket, bytes);
    MDM_ASSERT(length <= sizeof(context->inScratch));  // every kept byte has room
    ULONG kept = 0;
    for (ULONG i = 0; i < length; ++i) {
      UCHAR byte = payload[i];
      if (byte == context->xonChar) {
        Store(&context->modemXon, 1);
      } else if (byte == context->xoffChar) {
        Store(&context->modemXon, 0);
      } else {
        context->inScratch[kept++] = byte;
      }
    }
    if (kept != length) {
      packet[offsetof(DataInPacket, length)] = static_cast<UCHAR>(kept);
      std::memcpy(payload, context->inScratch, kept);
    }
  }
  PortRecord record{};
  PortCall(*context, PORT_PUT_DATA, platform::vxd::ToFlat(packet), &record);
}

// A transfer in flight keeps its request packet and URB; its completion releases them.
NTSTATUS IsoUsb_DataReadFreeResource(DEVICE_OBJECT* deviceObject) {
  DataChannel& channel = ModemOf(deviceObject).dataIn;
  if (channel.busy == 0) engine::ReleaseRequest(&channel.irp, &channel.urb);
  return STATUS_SUCCESS;
}
