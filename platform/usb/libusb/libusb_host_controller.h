// The host controller of a real USB bus, reached through libusb-1.0 (on Linux, the kernel's
// usbfs). A port is an opened device. Transfers go to libusb from the processor; libusb's own
// event thread, which this controller runs, hands every completion back to the processor, where
// the transfer's results are filled in and its `done` runs, one completion at a time, as on the
// single processor of the simulated controller.
//
// libusb has no frame number and schedules isochronous transfers as soon as possible. The frame
// number here is the clock's time in 1 ms frames, as the simulated controller counts it. What
// libusb is given runs at the earliest in the next frame, so a transfer asked to start at frame
// f is handed to libusb once frame f - 1 has begun, and one asked to start as soon as possible
// is given the next frame, or the one after the endpoint's queued transfers. One whose start
// frame has already passed (the processor, an ordinary thread here, was held after it read the
// frame) runs as soon as possible too, and is counted: on a busy host late is not lost. Every
// transfer's bytes go through a buffer of its own, so a transfer taken back (abort, cancel, the
// device gone) is finished for its submitter at once while libusb still winds down its copy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb/host_controller.h"
#include "platform/wdm/processor.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

namespace platform::usb {

class LibusbHostController final : public HostController {
 public:
  // The context stays the caller's and must outlive the controller. The controller is destroyed
  // on the processor, like the simulated one, once its ports are forgotten.
  LibusbHostController(wdm::Processor& processor, libusb_context* context);
  ~LibusbHostController() override;

  // Not on the processor. Opens the device and makes its physical device object; returns its
  // port, or 0 with libusb's error in `error`.
  ULONG Attach(libusb_device* device, int* error = nullptr);
  PDEVICE_OBJECT Pdo(ULONG port) const;
  // Not on the processor. The serial number the device's descriptor names, read from the
  // device; empty when it names none or does not answer.
  std::string SerialNumber(ULONG port);
  // On the processor. The device has left the bus: its transfers end as gone, later ones are
  // refused.
  void Unplug(ULONG port);
  // Not on the processor, once no driver is attached: waits for libusb to give back the port's
  // transfers, closes the device and deletes its physical device object.
  void Forget(ULONG port);

  // Isochronous transfers that came after their start frame had passed and ran as soon as they
  // could (on the processor).
  std::uint64_t LateStarts() const { return lateStarts_; }

  ULONG CurrentFrame() override;
  bool Present(ULONG port) override;
  USBD_STATUS Control(ULONG port, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                      ULONG& transferred) override;
  USBD_STATUS Submit(ULONG port, Transfer& transfer) override;
  void Abort(ULONG port, UCHAR endpoint) override;
  bool Cancel(ULONG port, const Transfer* transfer) override;

 private:
  // A transfer on its way through libusb. `transfer` is null once the submitter has it back;
  // the record lives until libusb has given back `usb`.
  struct Flight {
    LibusbHostController* controller = nullptr;
    std::uint64_t id = 0;  // in the order of submission
    ULONG port = 0;
    Transfer* transfer = nullptr;
    libusb_transfer* usb = nullptr;
    std::vector<BYTE> bytes;
    std::optional<wdm::Processor::WorkId> start;  // handed to libusb at its start frame
    bool submitted = false;
  };
  struct Port {
    libusb_device_handle* handle = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    bool present = true;
    std::set<int> claimed;             // interfaces
    std::map<UCHAR, ULONG> nextFrame;  // isochronous: the frame after each endpoint's queue
  };

  static void Completed(libusb_transfer* usb);
  void EventLoop();
  USBD_STATUS SetConfiguration(Port& port, UCHAR value);
  USBD_STATUS ToLibusb(Flight& flight);
  void SubmitScheduled(Flight& flight);
  void Finish(std::uint64_t id);
  void FillResults(Flight& flight, Transfer& transfer);
  void Complete(Transfer& transfer, USBD_STATUS status);
  // Takes the transfer back from libusb; the record goes when libusb gives its copy back.
  void TakeBack(Flight& flight);
  Flight* FlightOf(const Transfer* transfer);

  wdm::Processor& processor_;
  libusb_context* context_;
  std::map<ULONG, Port> ports_;  // changed on the processor, or while it cannot look
  ULONG nextPort_ = 1;
  std::map<std::uint64_t, std::unique_ptr<Flight>> flights_;  // by id, on the processor
  std::uint64_t nextFlight_ = 1;
  std::uint64_t lateStarts_ = 0;
  std::atomic<int> withLibusb_{0};  // transfers libusb has not given back
  // Completions posted to the processor find the controller through this, and none once it is
  // gone.
  std::shared_ptr<LibusbHostController*> self_;
  std::atomic<bool> stopping_{false};
  // While set, the event thread keeps out of libusb's event handling (a device being opened).
  std::mutex holdMutex_;
  std::condition_variable holdChanged_;
  bool holdEvents_ = false;
  std::thread events_;
};

}  // namespace platform::usb
