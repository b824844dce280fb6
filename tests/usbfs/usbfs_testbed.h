// The kernel's usbfs emulated in-process: a umockdev testbed holds /dev/bus/usb/001/NNN nodes
// and their sysfs records, and an ioctl handler serves what libusb asks of those nodes by handing
// each URB to a simulated device. Control URBs are answered at once; isochronous and bulk URBs
// run on a 1 ms frame clock of the testbed's own thread, an isochronous URB one packet a frame, a
// bulk URB offered to the device every frame until it answers. The process must run with
// umockdev's preload library (RunUnderUsbfsPreload).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/usbdevice/device.h"
#include "tools/mdmsim/stalls.h"

// umockdev's and GLib's types, kept out of the tests that use the testbed.
struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;
struct _GMainContext;

namespace tests::usbfs {

// Re-executes the program with umockdev's preload library (and AddressSanitizer told not to
// insist on coming first) unless it already runs so; returns when it does.
void RunUnderUsbfsPreload(int argc, char** argv);

class UsbfsTestbed {
 public:
  UsbfsTestbed();
  ~UsbfsTestbed();
  UsbfsTestbed(const UsbfsTestbed&) = delete;
  UsbfsTestbed& operator=(const UsbfsTestbed&) = delete;

  // Adds a device on bus 1 whose sysfs descriptors are `descriptors` (device descriptor, then
  // every configuration descriptor). Returns its device number.
  int Add(std::shared_ptr<sim::usbdevice::Device> device,
          const sim::usbdevice::Descriptors& descriptors);

  // Unplugs a device as the kernel does: its URBs in flight end with "no device" and are still
  // reaped, every other request of its files fails with ENODEV, and udev hears of the removal.
  // The testbed lets go of the device.
  void Remove(int device);

  // Faults on the bus, as usbfs reports them; a packet or URB that fails so never reaches the
  // device, which neither takes nor gives its bytes. `error` is a negative errno.
  // The next `count` isochronous packets of the device's `endpoint` end with `error`: -EXDEV a
  // packet the controller missed, -EPROTO or -EILSEQ one garbled on the wire.
  void FailPackets(int device, UCHAR endpoint, int error, int count);
  // The next `count` URBs of the endpoint (bulk or isochronous) end with `error` in the frame
  // they are next offered to the device, an isochronous URB with every packet missed. -EPIPE
  // halts a bulk endpoint: every later URB of it stalls too until CLEAR_HALT or a configuration.
  void FailTransfers(int device, UCHAR endpoint, int error, int count);
  // The failures injected for the endpoint that have not struck yet, packets and URBs.
  int FailuresLeft(int device, UCHAR endpoint) const;

  // Holds the frame thread by the plan from now on, as a busy host holds it: frames that end
  // meanwhile all run when it comes back, as the processor's late frames do.
  void Stall(const mdmsim::StallPlan& plan, std::uint32_t seed);

  // Runs fn with the devices held still (the frame thread and the ioctl handler wait).
  template <typename Fn>
  auto WithDevices(Fn&& fn) {
    std::lock_guard lock(mutex_);
    return fn();
  }

  // Every usbfs ioctl request libusb has issued, with how often.
  std::map<unsigned long, int> Requests() const;
  // URBs libusb has reaped on `endpoint` (each a transfer it then completes), from the start.
  std::uint64_t Reaped(UCHAR endpoint) const;
  // The frame the testbed's clock is in (1 ms frames from its start).
  std::uint32_t Frame() const { return frame_.load(); }

 private:
  struct Urb;
  struct Client;
  // Failures injected for an endpoint: what they end with, and how many are left.
  struct Failures {
    int error = 0;
    int count = 0;
  };
  struct Node {
    std::shared_ptr<sim::usbdevice::Device> device;
    std::string path;                           // /dev/bus/usb/001/NNN
    std::string sysfs;                          // /sys/devices/usb1/1-N
    bool gone = false;                          // unplugged
    std::map<UCHAR, Failures> failedPackets;    // by endpoint
    std::map<UCHAR, Failures> failedTransfers;  // by endpoint
    std::set<UCHAR> halted;                     // stalled bulk endpoints
  };

  static int HandleIoctl(_UMockdevIoctlBase* handler, _UMockdevIoctlClient* client,
                         UsbfsTestbed* self);
  void Release(Client& state);
  void ForgetClosedFiles();
  bool Handle(_UMockdevIoctlClient* client);
  bool Submit(_UMockdevIoctlClient* client, Client& state, Node& node);
  bool Discard(_UMockdevIoctlClient* client, Client& state);
  void Reap(_UMockdevIoctlClient* client, Client& state);
  bool SetConfiguration(_UMockdevIoctlClient* client, Node& node);
  bool ClearHalt(_UMockdevIoctlClient* client, Node& node);
  Node* NodeOf(int device);
  // Takes one of the failures injected for `endpoint`: its errno, or 0 when none is left.
  static int TakeFailure(std::map<UCHAR, Failures>& failures, UCHAR endpoint);
  // Ends the URB on the bus when a failure is due; true when it did.
  bool FailedOnTheBus(Node& node, Urb& urb);
  void Control(Node& node, Urb& urb);
  // One frame's work on every URB in flight; true when the URB is done.
  bool RunFrame(Node& node, Urb& urb, std::uint32_t frame);
  void HandOut(_UMockdevIoctlClient* client, Client& state);
  void FrameLoop();
  void PostAnswers();
  static int AnswerParkedReaps(void* self);
  // At a frame's end, outside the lock: holds the thread when a stall is due.
  void HoldWhenStalled(std::uint32_t frame);
  void EndOfFrame(Client& state, std::uint32_t frame);
  void EndAll(Client& state);
  Node* NodeOf(_UMockdevIoctlClient* client);

  _UMockdevTestbed* testbed_ = nullptr;
  _UMockdevIoctlBase* handler_ = nullptr;
  _GMainContext* ioctlContext_ = nullptr;  // the ioctl server's main loop (under the lock)
  bool answersPosted_ = false;             // an AnswerParkedReaps waits there (under the lock)
  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;  // by device node path
  std::map<_UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
  std::map<unsigned long, int> requests_;
  std::map<UCHAR, std::uint64_t> reaped_;  // by endpoint
  int nextDevice_ = 2;
  std::atomic<std::uint32_t> frame_{0};
  std::optional<mdmsim::StallDraws> stalls_;  // under the lock
  std::uint32_t nextStall_ = 0;               // the frame of the next stall

  std::atomic<bool> stopping_{false};
  std::thread frames_;
};

}  // namespace tests::usbfs
