// The state behind a device's physical device object (private to the USB stack).
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/usb/host_controller.h"

namespace platform::usb {

struct Pipe {
  UCHAR endpoint = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  USHORT maxPacket = 0;
};

// A transfer at the controller for a request. Records are kept for the next request once their
// transfer is done, so that a running transfer chain allocates nothing.
struct QueuedTransfer {
  Transfer transfer;
  PIRP irp = nullptr;  // null while the record is free
  PURB urb = nullptr;
};

struct PdoState {
  HostController* controller = nullptr;
  ULONG port = 0;
  bool gone = false;
  ULONG generation = 0;  // of the configuration; part of every handle
  USBD_CONFIGURATION_HANDLE configuration = 0;
  std::map<USBD_PIPE_HANDLE, Pipe> pipes;
  std::vector<std::unique_ptr<QueuedTransfer>> transfers;  // queued at the controller, or free
  DEVICE_CAPABILITIES capabilities{};
  DWORD devNode = 0;
  NTSTATUS startStatus = STATUS_SUCCESS;  // the configuration manager's node for the device
};

PdoState& StateOf(PDEVICE_OBJECT pdo);

// The transfer queued for `irp`, or null.
QueuedTransfer* PendingTransfer(PdoState& state, PIRP irp);

// Carries out the URB of an IOCTL_INTERNAL_USB_SUBMIT_URB request; completes it or leaves it
// pending, and returns what the dispatch routine returns.
NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb);

// Completes a request with the URB's status.
NTSTATUS Finish(PIRP irp, PURB urb, USBD_STATUS status);

}  // namespace platform::usb
