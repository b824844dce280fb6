#include "sim/hostctl/host_controller.h"

#include <algorithm>
#include <cstdint>

#include "platform/clock/trace.h"
#include "platform/clock/virtual_clock.h"
#include "platform/vxd/configmg.h"

namespace sim::hostctl {
namespace {

using platform::usb::Transfer;
namespace clock = platform::clock;

constexpr clock::Duration kFrame = clock::Milliseconds(1);
// How far ahead an isochronous transfer may be scheduled.
constexpr ULONG kScheduleWindow = 1024;

bool InVirtualTime() {
  return dynamic_cast<clock::VirtualClock*>(&clock::Current()) != nullptr;
}

}  // namespace

HostController::HostController(platform::wdm::Processor& processor) : processor_(processor) {
  // The configuration manager's events about the bus's devices run on the kernel's processor.
  platform::vxd::configmg::SetEventRunner(
      [&processor](std::function<void()> event) { processor.Post(std::move(event)); });
}

HostController::~HostController() {
  platform::vxd::configmg::SetEventRunner(nullptr);
  if (tick_) processor_.Cancel(*tick_);
  for (auto& [number, port] : ports_) {
    if (port.pdo != nullptr && port.pdo->AttachedDevice == nullptr) {
      platform::usb::DeleteDevicePdo(port.pdo);
    }
  }
}

ULONG HostController::Plug(std::shared_ptr<usbdevice::Device> device) {
  ULONG number = nextPort_++;
  Port& port = ports_[number];
  port.device = std::move(device);
  port.present = true;
  port.pdo = platform::usb::CreateDevicePdo(*this, number);
  return number;
}

PDEVICE_OBJECT HostController::Pdo(ULONG port) const {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second.pdo;
}

std::shared_ptr<usbdevice::Device> HostController::DeviceAt(ULONG port) const {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second.device;
}

void HostController::Unplug(ULONG number) {
  auto it = ports_.find(number);
  if (it == ports_.end() || !it->second.present) return;
  it->second.present = false;
  if (it->second.pdo != nullptr) platform::usb::DeviceGone(it->second.pdo);
}

void HostController::Forget(ULONG number) {
  auto it = ports_.find(number);
  if (it == ports_.end()) return;
  Unplug(number);
  if (it->second.pdo != nullptr) platform::usb::DeleteDevicePdo(it->second.pdo);
  ports_.erase(it);
}

void HostController::InjectPacketStatus(UCHAR endpoint, USBD_STATUS status, int count) {
  injected_[endpoint] = {status, count};
}

void HostController::InjectTransferStatus(UCHAR endpoint, USBD_STATUS status, int count) {
  injectedTransfer_[endpoint] = {status, count};
}

namespace {

// Takes one of the injected statuses for `endpoint`, if any are left.
std::optional<USBD_STATUS> TakeInjected(std::map<UCHAR, std::pair<USBD_STATUS, int>>& injected,
                                        UCHAR endpoint) {
  auto it = injected.find(endpoint);
  if (it == injected.end() || it->second.second <= 0) return std::nullopt;
  --it->second.second;
  return it->second.first;
}

}  // namespace

std::optional<USBD_STATUS> HostController::InjectedTransfer(UCHAR endpoint) {
  return TakeInjected(injectedTransfer_, endpoint);
}

std::optional<USBD_STATUS> HostController::Injected(UCHAR endpoint) {
  return TakeInjected(injected_, endpoint);
}

ULONG HostController::CurrentFrame() {
  return static_cast<ULONG>(clock::Current().Now() / kFrame);
}

bool HostController::Present(ULONG number) {
  auto it = ports_.find(number);
  return it != ports_.end() && it->second.present;
}

USBD_STATUS HostController::Control(ULONG number, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                    BYTE* data, ULONG& transferred) {
  transferred = 0;
  if (!Present(number)) return USBD_STATUS_DEVICE_GONE;
  return ports_[number].device->Control(setup, data, transferred);
}

USBD_STATUS HostController::Submit(ULONG number, Transfer& transfer) {
  if (!Present(number)) return USBD_STATUS_DEVICE_GONE;
  Queue& queue = ports_[number].queues[transfer.endpoint];
  if (transfer.type == UsbdPipeTypeIsochronous) {
    ULONG current = CurrentFrame();
    bool soon = transfer.asap;
    if (!soon && transfer.startFrame < current && !InVirtualTime()) {
      // On the real clock the processor is an ordinary thread that the host may hold between
      // reading the frame and submitting: a start frame that has passed is lateness, and the
      // transfer runs as soon as it can rather than losing its bytes. In virtual time nothing
      // is late, and a past start frame is refused as the platform's controller refuses it.
      ++lateStarts_;
      soon = true;
    }
    if (soon) {
      ULONG next = current;
      if (!queue.empty()) {
        const Transfer& last = *queue.back();
        next = std::max<ULONG>(current, last.startFrame + static_cast<ULONG>(last.packets.size()));
      }
      transfer.startFrame = next;
    } else if (transfer.startFrame < current || transfer.startFrame > current + kScheduleWindow) {
      return USBD_STATUS_BAD_START_FRAME;
    }
  }
  queue.push_back(&transfer);
  EnsureTick();
  return USBD_STATUS_PENDING;
}

void HostController::Abort(ULONG number, UCHAR endpoint) {
  auto it = ports_.find(number);
  if (it == ports_.end()) return;
  Queue aborted;
  aborted.swap(it->second.queues[endpoint]);
  for (Transfer* transfer : aborted) Complete(*transfer, USBD_STATUS_CANCELED);
}

bool HostController::Cancel(ULONG number, const Transfer* transfer) {
  auto it = ports_.find(number);
  if (it == ports_.end()) return false;
  for (auto& [endpoint, queue] : it->second.queues) {
    auto found = std::find(queue.begin(), queue.end(), transfer);
    if (found == queue.end()) continue;
    if (heldCancels_.contains(endpoint)) {
      held_.push_back(*found);
      queue.erase(found);
      return false;
    }
    if (deferredCancels_.contains(endpoint)) {
      if (!(*found)->cancelRequested) ++cancelsDue_;
      (*found)->cancelRequested = true;
      EnsureTick();
      return false;
    }
    queue.erase(found);
    return true;
  }
  return false;
}

void HostController::ReleaseHeldCancels() {
  Queue held;
  held.swap(held_);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (Transfer* transfer : held) Complete(*transfer, USBD_STATUS_CANCELED);
  KeLowerIrql(irql);
}

void HostController::EnsureTick() {
  if (tick_) return;
  ULONG frame = CurrentFrame();
  // An idle controller skips the frames in which nothing was queued.
  if (!runningFrames_) nextFrame_ = frame;
  tick_ = processor_.Schedule(clock::Time(kFrame * (static_cast<std::int64_t>(frame) + 1)), [this] {
    tick_.reset();
    RunEndedFrames();
  });
}

// Every frame that has ended since the last one run, in order. Under the virtual clock that is
// one frame; on the real clock the processor may come late, and a controller's schedule runs
// each frame all the same: a transfer's packet is never skipped because its frame has passed.
void HostController::RunEndedFrames() {
  ULONG ended = CurrentFrame();  // the frames before this one have ended
  runningFrames_ = true;
  while (nextFrame_ < ended) EndOfFrame(nextFrame_++);
  runningFrames_ = false;
}

void HostController::EndOfFrame(ULONG frame) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  bool busy = false;
  for (auto& [number, port] : ports_) {
    if (cancelsDue_ != 0) CompleteCancelled(port);
    for (auto& [endpoint, queue] : port.queues) {
      while (!queue.empty()) {
        Transfer& transfer = *queue.front();
        bool done = transfer.type == UsbdPipeTypeIsochronous ? IsoPacket(port, transfer, frame)
                                                             : BulkTransaction(port, transfer);
        if (!done) break;
        queue.erase(queue.begin());
        Complete(transfer, transfer.status);
      }
      busy = busy || !queue.empty();
    }
  }
  KeLowerIrql(irql);
  if (busy) EnsureTick();
}

bool HostController::IsoPacket(Port& port, Transfer& transfer, ULONG frame) {
  if (frame < transfer.startFrame) return false;
  ULONG index = frame - transfer.startFrame;
  if (index < transfer.packets.size()) {
    platform::usb::IsoPacket& packet = transfer.packets[index];
    std::span<BYTE> bytes(transfer.buffer + packet.offset, packet.room);
    if (std::optional<USBD_STATUS> injected = Injected(transfer.endpoint)) {
      packet.status = *injected;
      packet.length = 0;
    } else if (transfer.in()) {
      packet.status = port.device->IsoIn(transfer.endpoint, frame, bytes, packet.length);
    } else {
      packet.status = port.device->IsoOut(transfer.endpoint, frame, bytes);
      packet.length = USBD_SUCCESS(packet.status) ? packet.room : 0;
    }
  }
  if (index + 1 < transfer.packets.size()) return false;
  ULONG failed = 0;
  transfer.actual = 0;
  for (const auto& packet : transfer.packets) {
    if (!USBD_SUCCESS(packet.status)) ++failed;
    transfer.actual += packet.length;
  }
  transfer.errorCount = failed;
  transfer.status =
      failed == transfer.packets.size() ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
  if (std::optional<USBD_STATUS> injected = InjectedTransfer(transfer.endpoint)) {
    transfer.status = *injected;
  }
  return true;
}

bool HostController::BulkTransaction(Port& port, Transfer& transfer) {
  if (std::optional<USBD_STATUS> injected = InjectedTransfer(transfer.endpoint)) {
    transfer.actual = 0;
    transfer.status = *injected;
    return true;
  }
  std::span<BYTE> bytes(transfer.buffer, transfer.length);
  if (transfer.in()) {
    std::optional<ULONG> answer = port.device->BulkIn(transfer.endpoint, bytes);
    if (!answer) return false;
    transfer.actual = std::min(*answer, transfer.length);
  } else {
    if (!port.device->BulkOut(transfer.endpoint, bytes)) return false;
    transfer.actual = transfer.length;
  }
  transfer.status = USBD_STATUS_SUCCESS;
  return true;
}

void HostController::CompleteCancelled(Port& port) {
  for (auto& [endpoint, queue] : port.queues) {
    Queue cancelled;
    std::erase_if(queue, [&](Transfer* transfer) {
      if (!transfer->cancelRequested) return false;
      cancelled.push_back(transfer);
      return true;
    });
    for (Transfer* transfer : cancelled) Complete(*transfer, USBD_STATUS_CANCELED);
  }
}

// The transfer goes back to its submitter, who may reuse or free it inside `done`.
void HostController::Complete(Transfer& transfer, USBD_STATUS status) {
  if (transfer.cancelRequested) --cancelsDue_;
  transfer.cancelRequested = false;
  transfer.status = status;
  platform::trace::Record(platform::trace::Event::kTransferDone,
                          transfer.endpoint | std::uint64_t{static_cast<ULONG>(status)} << 8 |
                              std::uint64_t{transfer.actual} << 40);
  if (transfer.done != nullptr) transfer.done(transfer);
}

}  // namespace sim::hostctl
