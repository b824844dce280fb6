// The URBs: descriptors and configuration selection complete inside the call; isochronous and
// bulk transfers go to the host controller and complete when it says so. Every address and
// length the driver puts into a URB is checked before it is used.
#include <cstring>
#include <vector>

#include "platform/usb/pdo.h"

namespace platform::usb {
namespace {

// The caller's memory behind a flat address, all `length` bytes of it, or null.
BYTE* Buffer(FLAT_PTR flat, ULONG length) {
  if (length == 0) return nullptr;
  return static_cast<BYTE*>(vxd::FromFlat(flat, length));
}

USBD_STATUS GetDescriptor(PdoState& state, _URB_CONTROL_DESCRIPTOR_REQUEST& request) {
  if (request.Hdr.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST))
    return USBD_STATUS_INVALID_PARAMETER;
  ULONG length = request.TransferBufferLength > 0xFFFF ? 0xFFFF : request.TransferBufferLength;
  BYTE* buffer = Buffer(request.TransferBuffer, length);
  if (buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  USB_DEFAULT_PIPE_SETUP_PACKET setup{
      0x80, USB_REQUEST_GET_DESCRIPTOR,
      static_cast<USHORT>(request.DescriptorType << 8 | request.Index), request.LanguageId,
      static_cast<USHORT>(length)};
  ULONG transferred = 0;
  USBD_STATUS status = state.controller->Control(state.port, setup, buffer, transferred);
  request.TransferBufferLength = transferred;
  return status;
}

// The configuration descriptor's bytes, bounded by what was mapped.
std::vector<BYTE> ConfigurationBytes(FLAT_PTR flat) {
  std::size_t room = vxd::FlatRoom(flat);
  auto* header = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(
      vxd::FromFlat(flat, sizeof(USB_CONFIGURATION_DESCRIPTOR)));
  if (header == nullptr) return {};
  std::size_t total = header->wTotalLength < room ? header->wTotalLength : room;
  auto* bytes = reinterpret_cast<BYTE*>(header);
  std::vector<BYTE> copy(bytes, bytes + total);
  if (copy.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(copy.data())->wTotalLength =
        static_cast<USHORT>(total);
  }
  return copy;
}

// Fills one interface information record from the descriptor; false when it does not fit.
bool FillInterface(PdoState& state, std::vector<BYTE>& config, USBD_INTERFACE_INFORMATION& info,
                   std::size_t room) {
  auto* descriptor = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config.data());
  USB_INTERFACE_DESCRIPTOR* interface = USBD_ParseConfigurationDescriptorEx(
      descriptor, descriptor, info.InterfaceNumber, info.AlternateSetting, -1, -1, -1);
  if (interface == nullptr) return false;
  info.Class = interface->bInterfaceClass;
  info.SubClass = interface->bInterfaceSubClass;
  info.Protocol = interface->bInterfaceProtocol;
  info.InterfaceHandle = 0x20000000u | state.generation << 8 | interface->bInterfaceNumber;
  BYTE* at = reinterpret_cast<BYTE*>(interface) + interface->bLength;
  BYTE* end = config.data() + config.size();
  ULONG pipes = 0;
  while (at + 2 <= end && pipes < interface->bNumEndpoints) {
    auto* common = reinterpret_cast<USB_COMMON_DESCRIPTOR*>(at);
    if (common->bLength < 2 || at + common->bLength > end) break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      if (InterfaceInformationLength(pipes + 1) > room) return false;
      USB_ENDPOINT_DESCRIPTOR endpoint;
      std::memcpy(&endpoint, at, sizeof(endpoint));
      USBD_PIPE_INFORMATION& pipe = info.Pipes[pipes++];
      pipe.EndpointAddress = endpoint.bEndpointAddress;
      pipe.MaximumPacketSize = endpoint.wMaxPacketSize;
      pipe.Interval = endpoint.bInterval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe.PipeHandle = 0x10000000u | state.generation << 8 | endpoint.bEndpointAddress;
      state.pipes[pipe.PipeHandle] =
          Pipe{endpoint.bEndpointAddress, pipe.PipeType, pipe.MaximumPacketSize};
    }
    at += common->bLength;
  }
  info.NumberOfPipes = pipes;
  return true;
}

USBD_STATUS SetConfiguration(PdoState& state, UCHAR value) {
  USB_DEFAULT_PIPE_SETUP_PACKET setup{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
  ULONG transferred = 0;
  return state.controller->Control(state.port, setup, nullptr, transferred);
}

USBD_STATUS SelectConfiguration(PdoState& state, PURB urb) {
  _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
  if (select.Hdr.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  std::vector<UCHAR> busy;
  for (auto& queued : state.transfers) {
    if (queued->irp != nullptr) busy.push_back(queued->transfer.endpoint);
  }
  for (UCHAR endpoint : busy) state.controller->Abort(state.port, endpoint);
  state.pipes.clear();
  ++state.generation;
  if (select.ConfigurationDescriptor == 0) {
    state.configuration = 0;
    return SetConfiguration(state, 0);
  }
  std::vector<BYTE> config = ConfigurationBytes(select.ConfigurationDescriptor);
  if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return USBD_STATUS_INVALID_PARAMETER;
  auto* base = reinterpret_cast<BYTE*>(urb);
  std::size_t at = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  while (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= select.Hdr.Length) {
    auto& info = *reinterpret_cast<USBD_INTERFACE_INFORMATION*>(base + at);
    if (info.Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        at + info.Length > select.Hdr.Length || !FillInterface(state, config, info, info.Length)) {
      state.pipes.clear();
      return USBD_STATUS_INVALID_PARAMETER;
    }
    at += info.Length;
  }
  USBD_STATUS status = SetConfiguration(
      state, reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config.data())->bConfigurationValue);
  if (!USBD_SUCCESS(status)) {
    state.pipes.clear();
    return status;
  }
  state.configuration = 0x30000000u | state.generation;
  select.ConfigurationHandle = state.configuration;
  return USBD_STATUS_SUCCESS;
}

const Pipe* FindPipe(PdoState& state, USBD_PIPE_HANDLE handle) {
  auto it = state.pipes.find(handle);
  return it == state.pipes.end() ? nullptr : &it->second;
}

void CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PdoState& state = StateOf(pdo);
  QueuedTransfer* queued = PendingTransfer(state, irp);
  if (queued == nullptr) return;
  if (state.controller->Cancel(state.port, &queued->transfer)) {
    queued->transfer.status = USBD_STATUS_CANCELED;
    queued->transfer.done(queued->transfer);
  }
}

// The transfer is done: its results go into the URB, its record is free again, and the request
// completes (unless its cancel routine has it).
void TransferDone(Transfer& done) {
  auto& queued = *static_cast<QueuedTransfer*>(done.context);
  PIRP irp = queued.irp;
  PURB urb = queued.urb;
  queued.irp = nullptr;
  if (IoSetCancelRoutine(irp, nullptr) == nullptr && !irp->Cancel) return;
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
    _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.StartFrame = done.startFrame;
    iso.ErrorCount = done.errorCount;
    for (std::size_t i = 0; i < done.packets.size(); ++i) {
      iso.IsoPacket[i].Length = done.packets[i].length;
      iso.IsoPacket[i].Status = done.packets[i].status;
    }
    iso.TransferBufferLength = done.actual;
  } else {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = done.actual;
  }
  Finish(irp, urb, done.status);
}

// A free transfer record of the device, set up for `urb`: a done one when there is one.
Transfer& NewTransfer(PDEVICE_OBJECT pdo, PURB urb) {
  PdoState& state = StateOf(pdo);
  QueuedTransfer* queued = PendingTransfer(state, nullptr);
  if (queued == nullptr) {
    state.transfers.push_back(std::make_unique<QueuedTransfer>());
    queued = state.transfers.back().get();
  }
  queued->urb = urb;
  Transfer& transfer = queued->transfer;
  std::vector<IsoPacket> packets = std::move(transfer.packets);
  packets.clear();
  transfer = Transfer{};
  transfer.packets = std::move(packets);  // keeps its room for the next transfer's packets
  transfer.done = TransferDone;
  transfer.context = queued;
  return transfer;
}

// Hands a transfer made by NewTransfer to the controller; it completes the request when the
// transfer is done. A transfer that never gets that far leaves its record free.
NTSTATUS Queue(PDEVICE_OBJECT pdo, PIRP irp, PURB urb, Transfer& transfer) {
  PdoState& state = StateOf(pdo);
  auto& queued = *static_cast<QueuedTransfer*>(transfer.context);
  IoMarkIrpPending(irp);
  queued.irp = irp;
  IoSetCancelRoutine(irp, CancelTransfer);
  USBD_STATUS status = state.controller->Submit(state.port, transfer);
  if (!USBD_SUCCESS(status)) {
    queued.irp = nullptr;
    IoSetCancelRoutine(irp, nullptr);
    Finish(irp, urb, status);
  }
  return STATUS_PENDING;
}

NTSTATUS Bulk(PDEVICE_OBJECT pdo, PIRP irp, PURB urb) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
  const Pipe* pipe = FindPipe(StateOf(pdo), bulk.PipeHandle);
  if (bulk.Hdr.Length < sizeof(bulk) || pipe == nullptr)
    return Finish(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  BYTE* buffer = Buffer(bulk.TransferBuffer, bulk.TransferBufferLength);
  if (bulk.TransferBufferLength != 0 && buffer == nullptr) {
    return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  Transfer& transfer = NewTransfer(pdo, urb);
  transfer.endpoint = pipe->endpoint;
  transfer.type = pipe->type;
  transfer.length = bulk.TransferBufferLength;
  transfer.buffer = buffer;
  return Queue(pdo, irp, urb, transfer);
}

// The packets of an isochronous URB as the controller runs them; false when an offset lies
// outside the buffer.
bool IsoPackets(const _URB_ISOCH_TRANSFER& iso, const Pipe& pipe, Transfer& transfer) {
  ULONG packets = iso.NumberOfPackets;
  for (ULONG i = 0; i < packets; ++i) {
    ULONG offset = iso.IsoPacket[i].Offset;
    ULONG end = i + 1 < packets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
    if (offset > end || end > iso.TransferBufferLength) return false;
    ULONG room = end - offset;
    if (transfer.in() && room > pipe.maxPacket) room = pipe.maxPacket;
    transfer.packets.push_back(IsoPacket{offset, room, 0, USBD_STATUS_NOT_ACCESSED});
  }
  return true;
}

NTSTATUS Isochronous(PDEVICE_OBJECT pdo, PIRP irp, PURB urb) {
  _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  const Pipe* pipe = FindPipe(StateOf(pdo), iso.PipeHandle);
  if (pipe == nullptr || pipe->type != UsbdPipeTypeIsochronous) {
    return Finish(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  ULONG packets = iso.NumberOfPackets;
  if (packets == 0 || packets > 255 || iso.Hdr.Length < GET_ISO_URB_SIZE(packets)) {
    return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  BYTE* buffer = Buffer(iso.TransferBuffer, iso.TransferBufferLength);
  if (buffer == nullptr) return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  Transfer& transfer = NewTransfer(pdo, urb);
  transfer.endpoint = pipe->endpoint;
  transfer.type = UsbdPipeTypeIsochronous;
  transfer.length = iso.TransferBufferLength;
  transfer.buffer = buffer;
  transfer.asap = (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0;
  transfer.startFrame = iso.StartFrame;
  if (!IsoPackets(iso, *pipe, transfer)) return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  return Queue(pdo, irp, urb, transfer);
}

}  // namespace

NTSTATUS Finish(PIRP irp, PURB urb, USBD_STATUS status) {
  urb->UrbHeader.Status = status;
  NTSTATUS result = RequestStatus(status);
  irp->IoStatus.Status = result;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return result;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb) {
  PdoState& state = StateOf(pdo);
  if (state.gone || !state.controller->Present(state.port)) {
    return Finish(irp, urb, USBD_STATUS_DEVICE_GONE);
  }
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return Finish(irp, urb, GetDescriptor(state, urb->UrbControlDescriptorRequest));
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return Finish(irp, urb, SelectConfiguration(state, urb));
    case URB_FUNCTION_ABORT_PIPE: {
      const Pipe* pipe = FindPipe(state, urb->UrbPipeRequest.PipeHandle);
      if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST) || pipe == nullptr) {
        return Finish(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
      }
      state.controller->Abort(state.port, pipe->endpoint);
      return Finish(irp, urb, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      if (urb->UrbHeader.Length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) {
        return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
      }
      urb->UrbGetCurrentFrameNumber.FrameNumber = state.controller->CurrentFrame();
      return Finish(irp, urb, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return Bulk(pdo, irp, urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return Isochronous(pdo, irp, urb);
    default:
      return Finish(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

}  // namespace platform::usb
