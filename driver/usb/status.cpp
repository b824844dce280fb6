// The status pipe: one 8-byte isochronous transfer always in flight while the modem is switched
// on. Each completion submits the next transfer and then drives everything else
// (IsoUsb_UpdateModemStatus).
#include <cstring>

#include "driver/usb/channel.h"
#include "driver/wire.h"

using engine::ModemOf;

namespace {

constexpr engine::IsoPath kStatusPath = {kStatusEndpoint,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, true,
                                         IsoUsb_IsoIrp_ReadStatusComplete};

}  // namespace

NTSTATUS IsoUsb_StartReadStatus(DEVICE_OBJECT* deviceObject) {
  if (engine::FindPipe(deviceObject, kStatusEndpoint, UsbdPipeTypeIsochronous) == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  StatusChannel& status = ModemOf(deviceObject).status;
  if (status.busy != 0) return STATUS_SUCCESS;
  // A stopped chain has no transfer with the bus: a stop that cancels one is followed by its
  // completion before the timer, the only starter, runs again.
  MDM_ASSERT(!engine::InFlight(status.irp));
  Store(&status.busy, 1);
  NTSTATUS result = IsoUsb_BuildReadStatusRequest(deviceObject);
  if (!NT_SUCCESS(result)) Store(&status.busy, 0);
  return result;
}

NTSTATUS IsoUsb_BuildReadStatusRequest(DEVICE_OBJECT* deviceObject) {
  StatusChannel& status = ModemOf(deviceObject).status;
  // The chain's one request packet and URB are kept from the first submission on. A refusal
  // completes the request inside the call; its completion has already stopped the chain and
  // released the request when busy was clear, otherwise it is released here.
  return engine::StartIsoTransfer(deviceObject, kStatusPath,
                                  {&status.irp, &status.urb, status.buffer, sizeof(status.buffer)},
                                  kFrameOffset);
}

NTSTATUS IsoUsb_IsoIrp_ReadStatusComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  // The request has no stack location of this driver: the device comes as the context.
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  BulkUsb_DecrementIoCount(deviceObject);
  MDMContext& modem = ModemOf(deviceObject);
  StatusChannel& status = modem.status;
  // The chain's own request comes back, with its URB: a stop leaves both to this completion.
  MDM_ASSERT(irp == status.irp && status.urb != nullptr);
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
  MDM_ASSERT(status.busy != 0);  // evaluated only while the chain runs
  if (!USBD_SUCCESS(status.urb->UrbIsochronousTransfer.IsoPacket[0].Status)) {
    return STATUS_UNSUCCESSFUL;
  }
  IsoUsb_StatusPktControlProtocol(&status);
  return status.irp->IoStatus.Status;
}

void IsoUsb_StatusPktControlProtocol(StatusChannel* channel) {
  // Both are 0 (none yet) or a sequence number; a packet's byte may be anything.
  MDM_ASSERT(channel->expectedSeq <= kMaxSequence);
  MDM_ASSERT(channel->resyncSeq <= kMaxSequence);
  ULONG sequence = channel->buffer[offsetof(StatusPacket, sequence)];
  if (sequence == kNoStatusSequence) {
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
    channel->resyncSeq = sequence + 1 > kMaxSequence ? kFirstSequence : sequence + 1;
  }
}

void IsoUsb_StatusPktDecoding(StatusChannel* channel) {
  channel->expectedSeq += 1;
  if (channel->expectedSeq > kMaxSequence || channel->expectedSeq == 0) {
    channel->expectedSeq = kFirstSequence;
  }
  StatusPacket packet;
  std::memcpy(&packet, channel->buffer, sizeof(packet));
  ULONG word = packet.word[0] | packet.word[1] << 8 | packet.word[2] << 16;
  channel->modemTxLevel = word & kStatusLevelMask;
  channel->modemRxLevel = (word >> kStatusRxShift) & kStatusLevelMask;
  channel->statusFlags = (word >> kStatusFlagShift) & kStatusFlagMask;
  channel->outSequence = packet.outSequence;
  channel->outSequenceFresh = 1;
  channel->lineBits = packet.lineBits;
  // The transmit-level comparisons of the flow-control tables are signed: the 11-bit levels
  // must stay far below the sign bit.
  MDM_ASSERT(channel->modemTxLevel <= kStatusLevelMask &&
             channel->modemRxLevel <= kStatusLevelMask);
  MDM_ASSERT(channel->expectedSeq >= kFirstSequence && channel->expectedSeq <= kMaxSequence);
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
  // Nothing is left allocated but what a transfer still with the bus holds.
  MDM_ASSERT(engine::InFlight(status.irp) || (status.irp == nullptr && status.urb == nullptr));
  return STATUS_SUCCESS;
}
