// What the transfer engine's channels share: interlocked stores of the modem context's 32-bit
// fields, the pipe lookup, each channel's one request packet and URB, and the submission of a
// prepared request to the bus.
#pragma once

#include "driver/core/devext.h"

namespace engine {

constexpr ULONG kIsoUrbSize = 108;  // room for two isochronous packet descriptors
constexpr ULONG kBulkUrbSize = 72;
constexpr ULONG kFrameUrbSize = 20;  // URB_FUNCTION_GET_CURRENT_FRAME_NUMBER
constexpr ULONG kFrameOffset = 2;    // every start is for the frame after the current one

// Packet statuses after which a data transfer is sent again unchanged.
constexpr USBD_STATUS kPacketMissed = static_cast<USBD_STATUS>(0xC000000Eu);
constexpr USBD_STATUS kPacketNotAccessed = static_cast<USBD_STATUS>(0xC000000Fu);

inline LONG volatile* Interlocked(ULONG* field) {
  return reinterpret_cast<LONG volatile*>(field);
}
inline void Store(ULONG* field, ULONG value) {
  InterlockedExchange(Interlocked(field), static_cast<LONG>(value));
}

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

}  // namespace engine
