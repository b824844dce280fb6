// What the USB stack needs from a host controller (the simulated one, or any other backend):
// control transfers on a device's default pipe, queued isochronous and bulk transfers that
// complete later on the processor, abort and cancel, and the current frame number.
#pragma once

#include <vector>

#include "platform/usb/usb.h"

namespace platform::usb {

struct IsoPacket {
  ULONG offset = 0;  // in the transfer buffer
  ULONG room = 0;    // bytes the packet may carry (OUT: the bytes to send)
  ULONG length = 0;  // out, IN transfers: bytes received
  USBD_STATUS status = USBD_STATUS_NOT_ACCESSED;
};

struct Transfer {
  UCHAR endpoint = 0;  // address with direction bit
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  BYTE* buffer = nullptr;
  ULONG length = 0;
  // Isochronous: the first frame (or as soon as possible), one packet per frame.
  bool asap = false;
  ULONG startFrame = 0;
  std::vector<IsoPacket> packets;
  // Results.
  USBD_STATUS status = USBD_STATUS_PENDING;
  ULONG actual = 0;
  ULONG errorCount = 0;
  // Set by a controller that completes a cancelled transfer later, at the end of its frame.
  bool cancelRequested = false;
  // Called once, on the processor at DISPATCH_LEVEL, when the transfer has completed (also when
  // it is aborted or cancelled; not when Submit refuses it). `context` is the submitter's, to
  // find its request again.
  void (*done)(Transfer&) = nullptr;
  void* context = nullptr;

  bool in() const { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

class HostController {
 public:
  virtual ~HostController() = default;

  virtual ULONG CurrentFrame() = 0;
  // Whether a device is attached at the port.
  virtual bool Present(ULONG port) = 0;
  // A control transfer on the default pipe, completed inside the call; `data` holds
  // setup.wLength bytes.
  virtual USBD_STATUS Control(ULONG port, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                              ULONG& transferred) = 0;
  // Queues a transfer, which stays the submitter's and must live until its `done` has run (or
  // Cancel has taken it back); a refusal (a start frame already past, no device) is returned at
  // once and `done` is not called.
  virtual USBD_STATUS Submit(ULONG port, Transfer& transfer) = 0;
  // Completes every queued transfer of the endpoint with USBD_STATUS_CANCELED, inside the call.
  virtual void Abort(ULONG port, UCHAR endpoint) = 0;
  // Takes a queued transfer off its queue without completing it; false when it is not queued.
  virtual bool Cancel(ULONG port, const Transfer* transfer) = 0;
};

// The physical device object of a device at a host controller's port: the lower device that a
// function driver attaches to. It takes IOCTL_INTERNAL_USB_SUBMIT_URB and the bus's share of
// Plug and Play and power requests.
PDEVICE_OBJECT CreateDevicePdo(HostController& controller, ULONG port);
// The device has left the bus: queued transfers complete with USBD_STATUS_DEVICE_GONE and every
// later request fails with STATUS_DEVICE_NOT_CONNECTED.
void DeviceGone(PDEVICE_OBJECT pdo);
// Deletes the physical device object (nothing may be attached to it any more).
void DeleteDevicePdo(PDEVICE_OBJECT pdo);

// The capabilities the bus reports for its devices (tests may change them before a device is
// added).
DEVICE_CAPABILITIES DefaultCapabilities();
void SetCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES& capabilities);

// Makes the bus answer IRP_MN_START_DEVICE for the device with `status` (tests of a lower driver
// that fails the start).
void SetStartStatus(PDEVICE_OBJECT pdo, NTSTATUS status);

// NTSTATUS of a request whose URB ended with `status`.
NTSTATUS RequestStatus(USBD_STATUS status);

}  // namespace platform::usb
