// The status pipe: one 8-byte isochronous transfer always in flight while the modem is switched
// on. Each completion submits the next transfer and then drives everything else
// (IsoUsb_UpdateModemStatus).
#include <cstring>

#include "driver/usb/channel.h"
#include "driver/wire.h"

using engine::ModemOf;
using engine::Store;

NTSTATUS IsoUsb_StartReadStatus(DEVICE_OBJECT* deviceObject) {
  if (engine::FindPipe(deviceObject, 0x81, UsbdPipeTypeIsochronous) == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  StatusChannel& status = ModemOf(deviceObject).status;
  if (status.busy != 0) return STATUS_SUCCESS;
  Store(&status.busy, 1);
  NTSTATUS result = IsoUsb_BuildReadStatusRequest(deviceObject);
  if (!NT_SUCCESS(result)) Store(&status.busy, 0);
  return result;
}

NTSTATUS IsoUsb_BuildReadStatusRequest(DEVICE_OBJECT* deviceObject) {
  if (!BulkUsb_CanAcceptIoRequests(deviceObject)) return STATUS_INSUFFICIENT_RESOURCES;
  const USBD_PIPE_INFORMATION* pipe = engine::FindPipe(deviceObject, 0x81, UsbdPipeTypeIsochronous);
  if (pipe == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  StatusChannel& status = ModemOf(deviceObject).status;
  // The chain's one request packet and URB are kept from the first submission on.
  if (!engine::AllocateRequest(deviceObject, &status.irp, &status.urb, engine::kIsoUrbSize)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(status.buffer, 0, sizeof(status.buffer));
  ULONG frame = IsoUsb_GetCurrentFrame(deviceObject, status.irp);
  engine::BuildIsoUrb(status.urb, *pipe, status.buffer, sizeof(status.buffer),
                      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, frame + 1);
  NTSTATUS result =
      engine::Submit(deviceObject, status.irp, status.urb, IsoUsb_IsoIrp_ReadStatusComplete);
  // A refusal completes the request inside the call; its completion has already stopped the
  // chain and released the request when busy was clear, otherwise it is released here.
  if (!NT_SUCCESS(result) && !engine::InFlight(status.irp)) {
    engine::ReleaseRequest(&status.irp, &status.urb);
  }
  return result;
}

NTSTATUS IsoUsb_IsoIrp_ReadStatusComplete(DEVICE_OBJECT*, IRP*, PVOID context) {
  // The request has no stack location of this driver: the device comes as the context.
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  BulkUsb_DecrementIoCount(deviceObject);
  MDMContext& modem = ModemOf(deviceObject);
  StatusChannel& status = modem.status;
  if (status.busy == 0) {
    // Stopped while this transfer was in flight: the stop left its request to this completion.
    engine::ReleaseRequest(&status.irp, &status.urb);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  status.outSequenceFresh = 0;
  if (!NT_SUCCESS(IsoUsb_ProcessReadStatusTransfer(&modem))) {
    IsoUsb_StopReadStatus(deviceObject);
  } else if (!NT_SUCCESS(IsoUsb_BuildReadStatusRequest(deviceObject))) {
    // A refused resubmission stops the chain as a failed transfer does; the timer restarts it.
    IsoUsb_StopReadStatus(deviceObject);
  }
  IsoUsb_UpdateModemStatus(deviceObject);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS IsoUsb_ProcessReadStatusTransfer(MDMContext* context) {
  StatusChannel& status = context->status;
  if (!USBD_SUCCESS(status.urb->UrbIsochronousTransfer.IsoPacket[0].Status)) {
    return STATUS_UNSUCCESSFUL;
  }
  IsoUsb_StatusPktControlProtocol(&status);
  return status.irp->IoStatus.Status;
}

void IsoUsb_StatusPktControlProtocol(StatusChannel* channel) {
  ULONG sequence = channel->buffer[offsetof(StatusPacket, sequence)];
  if (sequence == 0) {
    channel->emptyCount += 1;
    channel->resyncSeq = 0;
  } else if (sequence == channel->expectedSeq) {
    channel->emptyCount = 0;
    channel->resyncSeq = 0;
    IsoUsb_StatusPktDecoding(channel);
  } else if (sequence == channel->resyncSeq) {
    channel->expectedSeq = sequence;
    channel->resyncSeq = 0;
    IsoUsb_StatusPktDecoding(channel);
  } else {
    channel->resyncSeq = sequence + 1 > kMaxSequence ? 1 : sequence + 1;
  }
}

void IsoUsb_StatusPktDecoding(StatusChannel* channel) {
  channel->expectedSeq += 1;
  if (channel->expectedSeq > kMaxSequence || channel->expectedSeq == 0) channel->expectedSeq = 1;
  StatusPacket packet;
  std::memcpy(&packet, channel->buffer, sizeof(packet));
  ULONG word = packet.word[0] | packet.word[1] << 8 | packet.word[2] << 16;
  channel->modemTxLevel = word & kStatusLevelMask;
  channel->modemRxLevel = (word >> kStatusRxShift) & kStatusLevelMask;
  channel->statusFlags = (word >> kStatusFlagShift) & 3;
  channel->outSequence = packet.outSequence;
  channel->outSequenceFresh = 1;
  channel->lineBits = packet.lineBits;
}

// Ends the chain. A transfer still with the bus keeps its request packet and URB: it is
// cancelled, and its completion, finding busy clear, releases them and submits nothing more.
NTSTATUS IsoUsb_StopReadStatus(DEVICE_OBJECT* deviceObject) {
  StatusChannel& status = ModemOf(deviceObject).status;
  Store(&status.busy, 0);
  if (engine::InFlight(status.irp)) {
    IoCancelIrp(status.irp);
  } else {
    engine::ReleaseRequest(&status.irp, &status.urb);
  }
  return STATUS_SUCCESS;
}
