// Control requests: 32-byte commands to bulk OUT 0x04 (line settings, DTR/RTS) and indications
// from bulk IN 0x83 (flow settings, debug text), one transfer at a time. After four failed
// transfers no control transfer is started any more.
#include <cstring>

#include "driver/usb/channel.h"
#include "driver/wire.h"
#include "platform/vxd/flat.h"

using engine::ModemOf;

namespace {

constexpr UCHAR kCommandKind = 1;
constexpr UCHAR kReadKind = 0;
// How long a stop waits for a cancelled control transfer to come back from the bus.
constexpr ULONG kControlCancelWaitMs = 1000;

void FillLineSettings(const MDMContext& modem, UCHAR* bytes) {
  bytes[0] = kLineSettingsCode[0];
  bytes[1] = kLineSettingsCode[1];
  for (int i = 0; i < kLineRateBytes; ++i) {
    bytes[kLineRateOffset + i] = static_cast<UCHAR>(modem.lineRate >> (8 * i));
  }
  bytes[kLineFormat0Offset] = static_cast<UCHAR>(modem.lineFormat0);
  bytes[kLineFormat1Offset] = static_cast<UCHAR>(modem.lineFormat1);
  bytes[kLineFormat2Offset] = static_cast<UCHAR>(modem.lineFormat2);
}

void FillModemControl(const MDMContext& modem, UCHAR* bytes) {
  bytes[0] = kModemControlCode[0];
  bytes[1] = kModemControlCode[1];
  bytes[kModemControlDtr] = modem.dtr != 0 ? 1 : 0;
  bytes[kModemControlRts] = modem.rts != 0 ? 1 : 0;
}

void PrintDebugText(const UCHAR* bytes) {
  DbgPrint("DBG: ");
  bool hex = (bytes[kDebugTextHeader] & kDebugTextHex) != 0;
  ULONG length = bytes[kDebugTextHeader] & kDebugTextLengthMask;
  if (hex) DbgPrint("<");
  for (ULONG i = 0; i < length; ++i) {
    if (i == kDebugTextRoom) {
      DbgPrint(" MSG is too long\n");
      break;
    }
    MDM_ASSERT(kDebugTextStart + i < sizeof(ControlMessage));  // the text ends with the message
    if (hex) {
      DbgPrint("%02x,", bytes[kDebugTextStart + i]);
    } else {
      DbgPrint("%c,", bytes[kDebugTextStart + i]);
    }
  }
  if (hex) DbgPrint(">\n");
}

void StoreFlowSettings(MDMContext& modem, const UCHAR* bytes) {
  Store(&modem.xonChar, bytes[kFlowXonChar]);
  Store(&modem.xoffChar, bytes[kFlowXoffChar]);
  Store(&modem.writeSoftFlow, bytes[kFlowWriteSoft]);
  Store(&modem.readSoftFlow, bytes[kFlowReadSoft]);
  Store(&modem.keepXonXoff, bytes[kFlowKeepXonXoff]);
  Store(&modem.writeHardFlow, bytes[kFlowWriteHard]);
  Store(&modem.readHardFlow, bytes[kFlowReadHard]);
}

}  // namespace

NTSTATUS BulkUsb_WriteCommand(DEVICE_OBJECT* deviceObject, ULONG kind) {
  MDMContext& modem = ModemOf(deviceObject);
  if (modem.control.busy != 0) return STATUS_INSUFFICIENT_RESOURCES;
  // The shared buffer is written only while no control transfer has it.
  MDM_ASSERT(!engine::InFlight(modem.control.irp));
  if (kind != kCommandLineSettings && kind != kCommandModemControl) return STATUS_SUCCESS;
  std::memset(modem.control.buffer, 0, sizeof(modem.control.buffer));
  if (kind == kCommandLineSettings) {
    FillLineSettings(modem, modem.control.buffer);
  } else {
    FillModemControl(modem, modem.control.buffer);
  }
  return BulkUsb_StartControlRequest(deviceObject, kCommandKind);
}

NTSTATUS BulkUsb_ReadIndication(DEVICE_OBJECT* deviceObject) {
  return BulkUsb_StartControlRequest(deviceObject, kReadKind);
}

NTSTATUS BulkUsb_StartControlRequest(DEVICE_OBJECT* deviceObject, UCHAR kind) {
  if (!BulkUsb_CanAcceptIoRequests(deviceObject)) return STATUS_INSUFFICIENT_RESOURCES;
  bool command = kind == kCommandKind;
  const USBD_PIPE_INFORMATION* pipe = engine::FindPipe(
      deviceObject, command ? kCommandEndpoint : kIndicationEndpoint, UsbdPipeTypeBulk);
  if (pipe == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ControlChannel& channel = ModemOf(deviceObject).control;
  if (channel.busy != 0) return STATUS_INSUFFICIENT_RESOURCES;
  // Each control transfer allocates its own request: an idle channel holds none.
  MDM_ASSERT(channel.irp == nullptr && channel.urb == nullptr);
  Store(&channel.busy, 1);
  if (!engine::AllocateRequest(deviceObject, &channel.irp, &channel.urb, engine::kBulkUrbSize)) {
    Store(&channel.busy, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(channel.urb, 0, engine::kBulkUrbSize);
  if (!command) std::memset(channel.buffer, 0, sizeof(channel.buffer));
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = channel.urb->UrbBulkOrInterruptTransfer;
  bulk.Hdr.Length = static_cast<USHORT>(engine::kBulkUrbSize);
  bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk.PipeHandle = pipe->PipeHandle;
  bulk.TransferBuffer = platform::vxd::ToFlat(channel.buffer);
  bulk.TransferBufferLength = sizeof(channel.buffer);
  bulk.TransferFlags =
      command ? USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  channel.lastKind = command ? kCommandKind : kReadKind;
  NTSTATUS status = engine::Submit(deviceObject, channel.irp, channel.urb, BulkUsb_ControlComplete);
  if (!NT_SUCCESS(status) && !engine::InFlight(channel.irp)) {
    engine::ReleaseRequest(&channel.irp, &channel.urb);
    Store(&channel.busy, 0);
  }
  return status;
}

NTSTATUS BulkUsb_ControlComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  // The request has no stack location of this driver: the device comes as the context.
  auto* deviceObject = static_cast<DEVICE_OBJECT*>(context);
  MDMContext& modem = ModemOf(deviceObject);
  ControlChannel& channel = modem.control;
  MDM_ASSERT(irp == channel.irp && channel.busy != 0);
  MDM_ASSERT(channel.lastKind == kCommandKind || channel.lastKind == kReadKind);
  BulkUsb_DecrementIoCount(deviceObject);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    channel.failures += 1;
  } else if (channel.lastKind != kCommandKind) {
    ULONG received = channel.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received != 0) BulkUsb_ProcessControlTransfer(&modem, received);
  }
  engine::ReleaseRequest(&channel.irp, &channel.urb);
  Store(&channel.busy, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BulkUsb_ProcessControlTransfer(MDMContext* context, ULONG length) {
  const UCHAR* bytes = context->control.buffer;
  // The bus reports no more bytes than the read asked for.
  MDM_ASSERT(length <= sizeof(context->control.buffer));
  if ((bytes[kIndicationMarkOffset] & kIndicationValid) == 0) {
    // Not an indication: shown for the developer, and nothing of it is acted on.
    DbgPrint("<");
    for (UCHAR byte : context->control.buffer) DbgPrint("%02x,", byte);
    DbgPrint(">\n");
    return STATUS_SUCCESS;
  }
  switch (bytes[kIndicationKindOffset]) {
    case kIndicationNone:
      break;
    case kIndicationDebugText:
      PrintDebugText(bytes);
      break;
    case kIndicationFlowSettings:
      StoreFlowSettings(*context, bytes);
      break;
    default:
      DumpBinData(bytes, length);
      break;
  }
  return STATUS_SUCCESS;
}

void DumpBinData(const UCHAR*, ULONG) {}

// Cancels a control transfer in flight and waits until its completion has run, then releases
// what is left. A request is freed only once the bus has given it back: a cancelled transfer
// may come back a frame later. The wait is bounded; past the bound the request is left to its
// completion, which releases it whenever it comes, and the channel is marked so that the
// polling timer of the next start does not wait for it.
NTSTATUS BulkUsb_FreeResources(DEVICE_OBJECT* deviceObject) {
  ControlChannel& channel = ModemOf(deviceObject).control;
  for (ULONG waited = 0; channel.busy != 0; ++waited) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IRP* irp = engine::InFlight(channel.irp) ? channel.irp : nullptr;
    IoReleaseCancelSpinLock(irql);
    if (irp == nullptr) break;  // busy, but nothing with the bus: nothing will come back
    // The request is used after the lock is released: on the one processor its completion, the
    // only one that frees it, cannot run until this thread lets it.
    MDM_ASSERT(KeNumberProcessors == 1);
    MDM_ASSERT(irp == channel.irp);
    if (waited == kControlCancelWaitMs) {
      DbgPrint("BulkUsb_FreeResources: the control transfer did not come back within %u ms\n",
               kControlCancelWaitMs);
      Store(&channel.busy, kControlLeftByStop);
      return STATUS_SUCCESS;
    }
    // IoCancelIrp takes the cancel spin lock itself, so it is called after the lock is released.
    // A repeated cancel of the same request finds no cancel routine and does nothing.
    IoCancelIrp(irp);
    if (channel.busy == 0) break;
    LARGE_INTEGER oneMillisecond{.QuadPart = -10000};
    KeDelayExecutionThread(KernelMode, FALSE, &oneMillisecond);
  }
  engine::ReleaseRequest(&channel.irp, &channel.urb);
  Store(&channel.busy, 0);
  return STATUS_SUCCESS;
}
