#include "platform/usb/libusb/libusb_host_controller.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/clock/clock.h"
#include "platform/clock/trace.h"
#include "platform/vxd/configmg.h"

namespace platform::usb {
namespace {

constexpr clock::Duration kFrame = clock::Milliseconds(1);
// How far ahead an isochronous transfer may be scheduled, as on the simulated controller.
constexpr ULONG kScheduleWindow = 1024;
// A control transfer the device leaves unanswered this long fails as not responding.
constexpr unsigned kControlTimeoutMs = 5000;
// How long Forget waits for libusb to give back a port's transfers.
constexpr auto kForgetLimit = std::chrono::seconds(2);

USBD_STATUS FromLibusbError(int error) {
  switch (error) {
    case LIBUSB_ERROR_PIPE:
      return USBD_STATUS_STALL_PID;
    case LIBUSB_ERROR_NO_DEVICE:
      return USBD_STATUS_DEVICE_GONE;
    case LIBUSB_ERROR_TIMEOUT:
      return USBD_STATUS_DEV_NOT_RESPONDING;
    case LIBUSB_ERROR_INVALID_PARAM:
      return USBD_STATUS_INVALID_PARAMETER;
    default:
      return USBD_STATUS_REQUEST_FAILED;
  }
}

// The status of a transfer (or of one isochronous packet) that libusb ended with `status`.
USBD_STATUS FromTransferStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return USBD_STATUS_SUCCESS;
    case LIBUSB_TRANSFER_STALL:
      return USBD_STATUS_STALL_PID;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return USBD_STATUS_DEVICE_GONE;
    case LIBUSB_TRANSFER_CANCELLED:
      return USBD_STATUS_CANCELED;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return USBD_STATUS_DEV_NOT_RESPONDING;
    default:  // an error on the wire, or more bytes than asked for
      return USBD_STATUS_XACT_ERROR;
  }
}

// What the stack reports for a packet that moved nothing in a transfer that failed as a whole
// with a data error: the packet was missed.
constexpr USBD_STATUS kPacketMissed = static_cast<USBD_STATUS>(0xC000000Eu);

// A packet that never ran (its transfer cancelled, the device gone) was not accessed; libusb
// reports every error on the wire alike, as a data error.
USBD_STATUS PacketStatus(libusb_transfer_status status) {
  USBD_STATUS result = FromTransferStatus(status);
  if (result == USBD_STATUS_CANCELED || result == USBD_STATUS_DEVICE_GONE) {
    return USBD_STATUS_NOT_ACCESSED;
  }
  return result;
}

}  // namespace

LibusbHostController::LibusbHostController(wdm::Processor& processor, libusb_context* context)
    : processor_(processor),
      context_(context),
      self_(std::make_shared<LibusbHostController*>(this)) {
  clock::RequireRealTime("the USB bus");
  // The configuration manager's events about the bus's devices run on the kernel's processor.
  vxd::configmg::SetEventRunner(
      [&processor](std::function<void()> event) { processor.Post(std::move(event)); });
  events_ = std::thread([this] { EventLoop(); });
}

LibusbHostController::~LibusbHostController() {
  vxd::configmg::SetEventRunner(nullptr);
  for (auto& [id, flight] : flights_) {
    if (flight->submitted) libusb_cancel_transfer(flight->usb);
  }
  auto deadline = std::chrono::steady_clock::now() + kForgetLimit;
  while (withLibusb_ != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kFrame);
  }
  self_.reset();
  {
    std::lock_guard lock(holdMutex_);
    stopping_ = true;
  }
  holdChanged_.notify_all();
  libusb_interrupt_event_handler(context_);
  events_.join();
  for (auto& [number, port] : ports_) {
    if (port.pdo != nullptr && port.pdo->AttachedDevice == nullptr) DeleteDevicePdo(port.pdo);
    for (int interface : port.claimed) libusb_release_interface(port.handle, interface);
    libusb_close(port.handle);
  }
  for (auto& [key, flight] : flights_) {
    if (flight->start) processor_.Cancel(*flight->start);
    libusb_free_transfer(flight->usb);
  }
}

void LibusbHostController::EventLoop() {
  for (;;) {
    {
      std::unique_lock lock(holdMutex_);
      holdChanged_.wait(lock, [this] { return !holdEvents_ || stopping_; });
      if (stopping_) return;
    }
    libusb_handle_events(context_);
  }
}

ULONG LibusbHostController::Attach(libusb_device* device, int* error) {
  libusb_device_handle* handle = nullptr;
  // The event thread polls the new device's file as soon as it is opened; holding the event
  // lock keeps it off until the handle is complete. The event thread is asked to let go of the
  // lock, and to stay away until the device is open.
  {
    std::lock_guard lock(holdMutex_);
    holdEvents_ = true;
  }
  libusb_interrupt_event_handler(context_);
  libusb_lock_events(context_);
  int result = libusb_open(device, &handle);
  libusb_unlock_events(context_);
  {
    std::lock_guard lock(holdMutex_);
    holdEvents_ = false;
  }
  holdChanged_.notify_all();
  if (error != nullptr) *error = result;
  if (result != 0) return 0;
  ULONG number = 0;
  processor_.Call([&] {
    number = nextPort_++;
    Port& port = ports_[number];
    port.handle = handle;
    port.pdo = CreateDevicePdo(*this, number);
  });
  return number;
}

PDEVICE_OBJECT LibusbHostController::Pdo(ULONG number) const {
  auto it = ports_.find(number);
  return it == ports_.end() ? nullptr : it->second.pdo;
}

std::string LibusbHostController::SerialNumber(ULONG number) {
  libusb_device_handle* handle = nullptr;
  processor_.Call([&] {
    if (Present(number)) handle = ports_[number].handle;
  });
  libusb_device_descriptor descriptor{};
  if (handle == nullptr ||
      libusb_get_device_descriptor(libusb_get_device(handle), &descriptor) != 0 ||
      descriptor.iSerialNumber == 0) {
    return {};
  }
  unsigned char text[128] = {};
  int length =
      libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof(text));
  return length > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length))
                    : std::string();
}

void LibusbHostController::Unplug(ULONG number) {
  auto it = ports_.find(number);
  if (it == ports_.end() || !it->second.present) return;
  it->second.present = false;
  if (it->second.pdo != nullptr) DeviceGone(it->second.pdo);
}

void LibusbHostController::Forget(ULONG number) {
  processor_.Call([&] { Unplug(number); });
  auto deadline = std::chrono::steady_clock::now() + kForgetLimit;
  for (;;) {
    bool busy = false;
    processor_.Call([&] {
      busy = std::any_of(flights_.begin(), flights_.end(),
                         [&](const auto& entry) { return entry.second->port == number; });
    });
    if (!busy || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(kFrame);
  }
  processor_.Call([&] {
    auto it = ports_.find(number);
    if (it == ports_.end()) return;
    Port& port = it->second;
    if (port.pdo != nullptr) DeleteDevicePdo(port.pdo);
    for (int interface : port.claimed) libusb_release_interface(port.handle, interface);
    libusb_close(port.handle);
    ports_.erase(it);
  });
}

ULONG LibusbHostController::CurrentFrame() {
  return static_cast<ULONG>(clock::Current().Now() / kFrame);
}

bool LibusbHostController::Present(ULONG number) {
  auto it = ports_.find(number);
  return it != ports_.end() && it->second.present;
}

// usbfs takes the configuration and interface requests apart from other control transfers, so
// that the kernel knows the interfaces; the interfaces of a new configuration are claimed here.
USBD_STATUS LibusbHostController::SetConfiguration(Port& port, UCHAR value) {
  for (int interface : port.claimed) libusb_release_interface(port.handle, interface);
  port.claimed.clear();
  int result = libusb_set_configuration(port.handle, value == 0 ? -1 : value);
  if (result != 0) return FromLibusbError(result);
  if (value == 0) return USBD_STATUS_SUCCESS;
  libusb_config_descriptor* config = nullptr;
  result = libusb_get_config_descriptor_by_value(libusb_get_device(port.handle), value, &config);
  if (result != 0) return FromLibusbError(result);
  for (int i = 0; i < config->bNumInterfaces && result == 0; ++i) {
    int interface = config->interface[i].altsetting[0].bInterfaceNumber;
    result = libusb_claim_interface(port.handle, interface);
    if (result == 0) port.claimed.insert(interface);
  }
  libusb_free_config_descriptor(config);
  return result == 0 ? USBD_STATUS_SUCCESS : FromLibusbError(result);
}

USBD_STATUS LibusbHostController::Control(ULONG number, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                          BYTE* data, ULONG& transferred) {
  transferred = 0;
  if (!Present(number)) return USBD_STATUS_DEVICE_GONE;
  Port& port = ports_[number];
  if (setup.bmRequestType == 0x00 && setup.bRequest == USB_REQUEST_SET_CONFIGURATION) {
    return SetConfiguration(port, static_cast<UCHAR>(setup.wValue));
  }
  if (setup.bmRequestType == 0x01 && setup.bRequest == LIBUSB_REQUEST_SET_INTERFACE) {
    int result = libusb_set_interface_alt_setting(port.handle, setup.wIndex, setup.wValue);
    return result == 0 ? USBD_STATUS_SUCCESS : FromLibusbError(result);
  }
  int result =
      libusb_control_transfer(port.handle, setup.bmRequestType, setup.bRequest, setup.wValue,
                              setup.wIndex, data, setup.wLength, kControlTimeoutMs);
  if (result < 0) return FromLibusbError(result);
  transferred = static_cast<ULONG>(result);
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS LibusbHostController::Submit(ULONG number, Transfer& transfer) {
  if (!Present(number)) return USBD_STATUS_DEVICE_GONE;
  Port& port = ports_[number];
  ULONG current = CurrentFrame();
  auto flight = std::make_unique<Flight>();
  flight->controller = this;
  flight->port = number;
  flight->transfer = &transfer;
  flight->id = nextFlight_++;
  bool soon = transfer.asap;  // given to libusb now, to run as soon as it can
  if (transfer.type == UsbdPipeTypeIsochronous) {
    ULONG& next = port.nextFrame[transfer.endpoint];
    if (!soon && transfer.startFrame > current + kScheduleWindow) {
      return USBD_STATUS_BAD_START_FRAME;
    }
    // A start frame that has passed is the host's lateness, not the submitter's fault: the
    // processor was held between reading the frame and submitting. Its bytes must not be
    // lost, so it runs as soon as it can, as one asked to start as soon as possible does.
    if (!transfer.asap && transfer.startFrame < current) {
      ++lateStarts_;
      soon = true;
    }
    if (soon) {
      // What libusb is given now runs at the earliest in the next frame.
      transfer.startFrame = std::max(current + 1, next);
    }
    next = transfer.startFrame + static_cast<ULONG>(transfer.packets.size());
  }
  Flight* record = flight.get();
  flights_[record->id] = std::move(flight);
  // libusb runs a transfer as soon as it can, at the earliest in the frame after the one it is
  // given in: one for a later frame waits for the frame before it.
  if (transfer.type == UsbdPipeTypeIsochronous && !soon && transfer.startFrame > current + 1) {
    clock::Time due = kFrame * static_cast<std::int64_t>(transfer.startFrame - 1);
    record->start = processor_.Schedule(due, [this, record] { SubmitScheduled(*record); });
    return USBD_STATUS_PENDING;
  }
  USBD_STATUS status = ToLibusb(*record);
  if (!USBD_SUCCESS(status)) flights_.erase(record->id);
  return status;
}

// A transfer that waited for its start frame: a refusal now completes it.
void LibusbHostController::SubmitScheduled(Flight& flight) {
  flight.start.reset();
  USBD_STATUS status = ToLibusb(flight);
  if (USBD_SUCCESS(status)) return;
  Transfer& refused = *flight.transfer;
  flights_.erase(flight.id);
  Complete(refused, status);
}

// Fills libusb's transfer from the submitter's and submits it.
USBD_STATUS LibusbHostController::ToLibusb(Flight& flight) {
  Transfer& transfer = *flight.transfer;
  libusb_device_handle* handle = ports_[flight.port].handle;
  auto timeout = 0u;
  if (transfer.type == UsbdPipeTypeIsochronous) {
    auto count = static_cast<int>(transfer.packets.size());
    ULONG total = 0;
    for (const IsoPacket& packet : transfer.packets) total += packet.room;
    flight.bytes.resize(total);
    flight.usb = libusb_alloc_transfer(count);
    libusb_fill_iso_transfer(flight.usb, handle, transfer.endpoint, flight.bytes.data(),
                             static_cast<int>(total), count, &Completed, &flight, timeout);
    ULONG at = 0;
    for (int i = 0; i < count; ++i) {
      const IsoPacket& packet = transfer.packets[static_cast<std::size_t>(i)];
      flight.usb->iso_packet_desc[i].length = packet.room;
      if (!transfer.in() && packet.room != 0) {
        std::memcpy(flight.bytes.data() + at, transfer.buffer + packet.offset, packet.room);
      }
      at += packet.room;
    }
  } else {
    flight.bytes.assign(transfer.length, 0);
    if (!transfer.in() && transfer.length != 0) {
      std::memcpy(flight.bytes.data(), transfer.buffer, transfer.length);
    }
    flight.usb = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(flight.usb, handle, transfer.endpoint, flight.bytes.data(),
                              static_cast<int>(transfer.length), &Completed, &flight, timeout);
  }
  ++withLibusb_;
  int result = libusb_submit_transfer(flight.usb);
  if (result != 0) {
    --withLibusb_;
    libusb_free_transfer(flight.usb);
    flight.usb = nullptr;
    return FromLibusbError(result);
  }
  flight.submitted = true;
  return USBD_STATUS_PENDING;
}

// On libusb's event thread: the rest happens on the processor.
void LibusbHostController::Completed(libusb_transfer* usb) {
  auto* flight = static_cast<Flight*>(usb->user_data);
  LibusbHostController* controller = flight->controller;
  std::weak_ptr<LibusbHostController*> self = controller->self_;
  std::uint64_t id = flight->id;
  controller->processor_.Post([self, id] {
    if (std::shared_ptr<LibusbHostController*> alive = self.lock()) (*alive)->Finish(id);
  });
  --controller->withLibusb_;
}

void LibusbHostController::Finish(std::uint64_t id) {
  auto it = flights_.find(id);
  if (it == flights_.end()) return;
  std::unique_ptr<Flight> done = std::move(it->second);
  flights_.erase(it);
  Transfer* transfer = done->transfer;
  if (transfer != nullptr) FillResults(*done, *transfer);
  libusb_free_transfer(done->usb);
  if (transfer != nullptr) Complete(*transfer, transfer->status);
}

void LibusbHostController::FillResults(Flight& flight, Transfer& transfer) {
  libusb_transfer& usb = *flight.usb;
  USBD_STATUS status = FromTransferStatus(usb.status);
  if (!Present(flight.port) && status != USBD_STATUS_CANCELED) status = USBD_STATUS_DEVICE_GONE;
  if (transfer.type != UsbdPipeTypeIsochronous) {
    transfer.actual = static_cast<ULONG>(std::max(usb.actual_length, 0));
    if (transfer.in() && transfer.actual != 0) {
      std::memcpy(transfer.buffer, flight.bytes.data(), transfer.actual);
    }
    transfer.status = status;
    return;
  }
  ULONG at = 0;
  ULONG failed = 0;
  transfer.actual = 0;
  for (std::size_t i = 0; i < transfer.packets.size(); ++i) {
    IsoPacket& packet = transfer.packets[i];
    const libusb_iso_packet_descriptor& result = usb.iso_packet_desc[i];
    packet.status = PacketStatus(result.status);
    // What had not run when the transfer was cancelled or the device left was not accessed:
    // usbfs reports such packets as errors.
    bool ended = status == USBD_STATUS_CANCELED || status == USBD_STATUS_DEVICE_GONE;
    if (!USBD_SUCCESS(packet.status) && ended) {
      packet.status = USBD_STATUS_NOT_ACCESSED;
    }
    if (!USBD_SUCCESS(packet.status) && status == USBD_STATUS_XACT_ERROR &&
        result.actual_length == 0) {
      packet.status = kPacketMissed;
    }
    packet.length = USBD_SUCCESS(packet.status) ? std::min(result.actual_length, packet.room) : 0;
    if (transfer.in() && packet.length != 0) {
      std::memcpy(transfer.buffer + packet.offset, flight.bytes.data() + at, packet.length);
    }
    if (!USBD_SUCCESS(packet.status)) ++failed;
    transfer.actual += packet.length;
    at += packet.room;
  }
  transfer.errorCount = failed;
  if (USBD_SUCCESS(status)) {
    status =
        failed == transfer.packets.size() ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
  }
  transfer.status = status;
}

// The transfer goes back to its submitter, at DISPATCH_LEVEL as a controller's completion does;
// the submitter may reuse or free it inside `done`.
void LibusbHostController::Complete(Transfer& transfer, USBD_STATUS status) {
  transfer.cancelRequested = false;
  transfer.status = status;
  trace::Record(trace::Event::kTransferDone, transfer.endpoint |
                                                 std::uint64_t{static_cast<ULONG>(status)} << 8 |
                                                 std::uint64_t{transfer.actual} << 40);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if (transfer.done != nullptr) transfer.done(transfer);
  KeLowerIrql(irql);
}

void LibusbHostController::TakeBack(Flight& flight) {
  flight.transfer = nullptr;
  if (flight.start) {
    processor_.Cancel(*flight.start);
    flights_.erase(flight.id);
    return;
  }
  if (flight.submitted) libusb_cancel_transfer(flight.usb);
}

LibusbHostController::Flight* LibusbHostController::FlightOf(const Transfer* transfer) {
  for (auto& [key, flight] : flights_) {
    if (flight->transfer == transfer) return flight.get();
  }
  return nullptr;
}

void LibusbHostController::Abort(ULONG number, UCHAR endpoint) {
  std::vector<Flight*> aborted;
  for (auto& [key, flight] : flights_) {
    if (flight->port == number && flight->transfer != nullptr &&
        flight->transfer->endpoint == endpoint) {
      aborted.push_back(flight.get());
    }
  }
  auto port = ports_.find(number);
  if (port != ports_.end()) port->second.nextFrame.erase(endpoint);
  for (Flight* flight : aborted) {
    Transfer& transfer = *flight->transfer;
    TakeBack(*flight);
    Complete(transfer, USBD_STATUS_CANCELED);
  }
}

bool LibusbHostController::Cancel(ULONG, const Transfer* transfer) {
  Flight* flight = FlightOf(transfer);
  if (flight == nullptr) return false;
  TakeBack(*flight);
  return true;
}

}  // namespace platform::usb
