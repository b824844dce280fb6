// The simulated USB host controller: ports with devices, and 1 ms frames on the processor in the
// clock's time. Frame f runs from f ms to f + 1 ms; an isochronous transfer gets one packet per
// frame from its start frame on and completes at the end of its last frame; a bulk transfer is
// offered to the device at the end of every frame until the device answers. Frames in which no
// transfer is queued are not run at all: the frame number follows the clock regardless. Every
// other frame runs, in order, even when the processor reaches its end late (on the real clock),
// and there a transfer submitted after its start frame has passed runs as soon as it can.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/usb/host_controller.h"
#include "platform/wdm/processor.h"
#include "sim/usbdevice/device.h"

namespace sim::hostctl {

class HostController final : public platform::usb::HostController {
 public:
  explicit HostController(platform::wdm::Processor& processor);
  ~HostController() override;

  // On the processor. Attaches a device and makes its physical device object.
  ULONG Plug(std::shared_ptr<usbdevice::Device> device);
  PDEVICE_OBJECT Pdo(ULONG port) const;
  std::shared_ptr<usbdevice::Device> DeviceAt(ULONG port) const;
  // The device leaves the bus: its queued transfers fail and later requests are refused.
  void Unplug(ULONG port);
  // Deletes the physical device object once no driver is attached to it.
  void Forget(ULONG port);

  // The next `count` packets of `endpoint` (on any port) end with `status` and no data.
  void InjectPacketStatus(UCHAR endpoint, USBD_STATUS status, int count);
  // The next `count` transfers of `endpoint` complete with `status` as their overall status
  // (URB and request status), whatever their packets did; a bulk transfer so failed never
  // reaches the device. USBD_STATUS_XACT_ERROR gives the request STATUS_DEVICE_DATA_ERROR.
  void InjectTransferStatus(UCHAR endpoint, USBD_STATUS status, int count);

  // Cancels of `endpoint` take effect as a real controller's do: the transfer leaves the
  // schedule and completes as cancelled at the end of the current frame, not inside the cancel.
  void DeferCancels(UCHAR endpoint) { deferredCancels_.insert(endpoint); }
  // Cancels of `endpoint` are held: the transfer leaves the schedule at once but comes back
  // (cancelled) only at ReleaseHeldCancels, as from a controller that is late to give it back.
  void HoldCancels(UCHAR endpoint) { heldCancels_.insert(endpoint); }
  void ReleaseHeldCancels();

  // Isochronous transfers that came on the real clock after their start frame had passed and
  // ran as soon as they could.
  std::uint64_t LateStarts() const { return lateStarts_; }

  ULONG CurrentFrame() override;
  bool Present(ULONG port) override;
  USBD_STATUS Control(ULONG port, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                      ULONG& transferred) override;
  USBD_STATUS Submit(ULONG port, platform::usb::Transfer& transfer) override;
  void Abort(ULONG port, UCHAR endpoint) override;
  bool Cancel(ULONG port, const platform::usb::Transfer* transfer) override;

 private:
  // Short queues (a few transfers an endpoint), kept in place so that frames allocate nothing.
  using Queue = std::vector<platform::usb::Transfer*>;
  struct Port {
    std::shared_ptr<usbdevice::Device> device;
    PDEVICE_OBJECT pdo = nullptr;
    bool present = false;
    std::map<UCHAR, Queue> queues;  // by endpoint
  };

  void EnsureTick();
  void RunEndedFrames();
  void EndOfFrame(ULONG frame);
  // Runs the packet of `frame` of the queue's first transfer; true when that transfer is done.
  bool IsoPacket(Port& port, platform::usb::Transfer& transfer, ULONG frame);
  bool BulkTransaction(Port& port, platform::usb::Transfer& transfer);
  void Complete(platform::usb::Transfer& transfer, USBD_STATUS status);
  void CompleteCancelled(Port& port);
  std::optional<USBD_STATUS> Injected(UCHAR endpoint);
  std::optional<USBD_STATUS> InjectedTransfer(UCHAR endpoint);

  platform::wdm::Processor& processor_;
  std::map<ULONG, Port> ports_;
  ULONG nextPort_ = 1;
  std::optional<platform::wdm::Processor::WorkId> tick_;
  ULONG nextFrame_ = 0;         // the first frame not run yet
  bool runningFrames_ = false;  // inside RunEndedFrames
  std::map<UCHAR, std::pair<USBD_STATUS, int>> injected_;
  std::map<UCHAR, std::pair<USBD_STATUS, int>> injectedTransfer_;
  std::set<UCHAR> deferredCancels_;
  std::set<UCHAR> heldCancels_;
  Queue held_;          // cancelled transfers not given back yet
  int cancelsDue_ = 0;  // transfers marked cancelRequested, to complete at the end of the frame
  std::uint64_t lateStarts_ = 0;
};

}  // namespace sim::hostctl
