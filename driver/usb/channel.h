// What the transfer engine's channels share: the pipe lookup, each channel's one request packet
// and URB, the submission of a prepared request to the bus, and the one-packet isochronous
// transfer of the status, data-in and data-out paths.
#pragma once

#include "driver/core/devext.h"

namespace engine {

constexpr ULONG kIsoUrbSize = 108;  // room for two isochronous packet descriptors
constexpr ULONG kBulkUrbSize = 72;
constexpr ULONG kFrameUrbSize = 20;  // URB_FUNCTION_GET_CURRENT_FRAME_NUMBER

// Packet statuses after which a data transfer is sent again unchanged.
constexpr USBD_STATUS kPacketMissed = static_cast<USBD_STATUS>(0xC000000Eu);
constexpr USBD_STATUS kPacketNotAccessed = static_cast<USBD_STATUS>(0xC000000Fu);

inline MDMContext& ModemOf(DEVICE_OBJECT* deviceObject) {
  return Extension(deviceObject)->modemContext;
}

// The first pipe of the interface with that endpoint address and type; null when none.
const USBD_PIPE_INFORMATION* FindPipe(DEVICE_OBJECT* deviceObject, UCHAR endpoint,
                                      USBD_PIPE_TYPE type);

// Allocates the request packet and URB where their slots are empty; on failure releases both
// and returns false.
bool AllocateRequest(DEVICE_OBJECT* deviceObject, IRP** irp, URB** urb, ULONG urbSize);
// Releases both and empties the slots.
void ReleaseRequest(IRP** irp, URB** urb);
// True while a lower driver holds the request (it has been passed down and not completed).
bool InFlight(const IRP* irp);

// Fills a one-packet isochronous URB for `buffer` of `length` bytes.
void BuildIsoUrb(URB* urb, const USBD_PIPE_INFORMATION& pipe, UCHAR* buffer, ULONG length,
                 ULONG flags, ULONG startFrame);

// Puts the URB into the next stack location with the completion routine and passes the request
// to the lower device, counting it as outstanding I/O.
NTSTATUS Submit(DEVICE_OBJECT* deviceObject, IRP* irp, URB* urb, PIO_COMPLETION_ROUTINE completion);

// What tells the three isochronous paths apart.
struct IsoPath {
  UCHAR endpoint;
  ULONG transferFlags;
  // An IN path receives into a zeroed buffer; the data-out path sends its buffer as it stands, so
  // that a retry sends the bytes of the first attempt.
  bool zeroBuffer;
  PIO_COMPLETION_ROUTINE completion;
};

// A channel's request packet, URB and transfer buffer.
struct IsoRequest {
  IRP** irp;
  URB** urb;
  UCHAR* buffer;
  ULONG length;
};

// Prepares one isochronous transfer of the channel's buffer on the path's pipe, starting at the
// current frame plus `frameOffset` less one, and submits it. The request packet and URB are
// allocated where their slots are empty and reused otherwise. STATUS_INSUFFICIENT_RESOURCES when
// the device accepts no requests, the pipe is missing or the pool is empty. A refused submission
// releases the request unless its completion, run inside the call, has already done so.
NTSTATUS StartIsoTransfer(DEVICE_OBJECT* deviceObject, const IsoPath& path,
                          const IsoRequest& request, ULONG frameOffset);

}  // namespace engine
