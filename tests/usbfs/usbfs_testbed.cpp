#include "tests/usbfs/usbfs_testbed.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace tests::usbfs {
namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

// The errno with which usbfs reports a transfer or packet that ended with `status`.
int UrbErrno(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return 0;
  if (status == USBD_STATUS_STALL_PID) return -EPIPE;
  if (status == USBD_STATUS_NOT_ACCESSED) return -EXDEV;
  if (status == USBD_STATUS_DEVICE_GONE) return -ESHUTDOWN;
  if (status == USBD_STATUS_DEV_NOT_RESPONDING) return -ETIME;
  return -EPROTO;
}

std::string NodePath(int device) {
  char name[64];
  std::snprintf(name, sizeof(name), "/dev/bus/usb/001/%03d", device);
  return name;
}

std::string Hex(std::span<const BYTE> bytes) {
  std::string text;
  char digits[3];
  for (BYTE byte : bytes) {
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    text += digits;
  }
  return text;
}

// The value the request's argument points to (a configuration, an endpoint).
// Nothing (zero) when the client's memory cannot be read: its program is being killed.
template <typename T>
T Argument(_UMockdevIoctlClient* client) {
  UMockdevIoctlData* data =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T), nullptr);
  T value{};
  if (data == nullptr) return value;
  std::memcpy(&value, data->data, sizeof(value));
  g_object_unref(data);
  return value;
}

}  // namespace

void RunUnderUsbfsPreload(int, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr) return;
  setenv("LD_PRELOAD", kPreload, 1);
  // The preload library comes before the sanitizer's runtime, which it does not mind.
  std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
  setenv("ASAN_OPTIONS",
         (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("usbfs testbed: re-executing under umockdev's preload");
  std::exit(2);
}

// A URB in flight: the handler's copy of the client's record and buffer, written back to the
// client when the URB is reaped.
struct UsbfsTestbed::Urb {
  _UMockdevIoctlData* data = nullptr;  // the record (owned reference)
  usbdevfs_urb* urb = nullptr;         // inside data
  BYTE* buffer = nullptr;              // the resolved transfer buffer
  std::uint32_t firstFrame = 0;        // isochronous: the frame of the first packet
  int nextPacket = 0;                  // isochronous: the packet of the next frame
  std::uint32_t bufferAt = 0;          // isochronous: where that packet's bytes lie
};

// An open file of a device node: its URBs in flight (by endpoint), those done and not reaped
// yet, and a reap that waits for the end of the frame.
struct UsbfsTestbed::Client {
  std::string node;
  std::map<UCHAR, std::deque<Urb>> flying;
  std::deque<Urb> done;
  _UMockdevIoctlClient* parkedReap = nullptr;  // owned reference
};

UsbfsTestbed::UsbfsTestbed() {
  // The ioctl server answers on sockets whose client (a program under test) may have ended a
  // moment before; that write must fail, not end the process that keeps the bus.
  ::signal(SIGPIPE, SIG_IGN);
  testbed_ = umockdev_testbed_new();
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", reinterpret_cast<GCallback>(&HandleIoctl), this);
  frames_ = std::thread([this] { FrameLoop(); });
}

UsbfsTestbed::~UsbfsTestbed() {
  stopping_ = true;
  frames_.join();
  // The reaps still parked are answered on the handler's thread, and the answer posted last
  // must have run before the testbed goes: it holds this object.
  PostAnswers();
  for (;;) {
    std::unique_lock lock(mutex_);
    if (!answersPosted_) break;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard lock(mutex_);
    for (auto& [client, state] : clients_) {
      Release(*state);
      g_object_unref(client);
    }
    clients_.clear();
    if (ioctlContext_ != nullptr) g_main_context_unref(ioctlContext_);
  }
  g_object_unref(handler_);
  g_object_unref(testbed_);
}

// The URBs of a file and its parked reap, let go of.
void UsbfsTestbed::Release(Client& state) {
  if (state.parkedReap != nullptr) g_object_unref(state.parkedReap);
  state.parkedReap = nullptr;
  for (auto& [endpoint, queue] : state.flying) {
    for (Urb& urb : queue) g_object_unref(urb.data);
  }
  state.flying.clear();
  for (Urb& urb : state.done) g_object_unref(urb.data);
  state.done.clear();
}

// Each record holds its file's client, so that a closed file's address is never taken for a new
// one's; the records of files their programs have closed go when the next file opens.
void UsbfsTestbed::ForgetClosedFiles() {
  std::erase_if(clients_, [this](auto& entry) {
    if (umockdev_ioctl_client_get_connected(entry.first)) return false;
    Release(*entry.second);
    g_object_unref(entry.first);
    return true;
  });
}

int UsbfsTestbed::Add(std::shared_ptr<sim::usbdevice::Device> device,
                      const sim::usbdevice::Descriptors& descriptors) {
  int number;
  std::string path;
  {
    std::lock_guard lock(mutex_);
    number = nextDevice_++;
    path = NodePath(number);
    Node& node = nodes_[path];
    node.device = std::move(device);
    node.path = path;
    node.sysfs = "/sys/devices/usb1/1-" + std::to_string(number);
  }
  // The handler first, so that the node answers as soon as libusb hears of it.
  umockdev_testbed_attach_ioctl(testbed_, path.c_str(), handler_, nullptr);
  std::vector<BYTE> bytes = descriptors.device;
  for (const auto& configuration : descriptors.configurations) {
    bytes.insert(bytes.end(), configuration.begin(), configuration.end());
  }
  char record[4096];
  std::snprintf(record, sizeof(record),
                "P: /devices/usb1/1-%d\n"
                "N: bus/usb/001/%03d\n"
                "E: SUBSYSTEM=usb\n"
                "E: DEVTYPE=usb_device\n"
                "E: DRIVER=usb\n"
                "E: BUSNUM=001\n"
                "E: DEVNUM=%03d\n"
                "E: DEVNAME=%s\n"
                "A: busnum=1\\n\n"
                "A: devnum=%d\\n\n"
                "A: speed=12\\n\n"
                "A: bConfigurationValue=\\n\n"
                "H: descriptors=%s\n",
                number, number, number, path.c_str(), number, Hex(bytes).c_str());
  umockdev_testbed_add_from_string(testbed_, record, nullptr);
  return number;
}

void UsbfsTestbed::Remove(int device) {
  std::string sysfs;
  {
    std::lock_guard lock(mutex_);
    Node* node = NodeOf(device);
    if (node == nullptr || node->gone) return;
    node->gone = true;
    sysfs = node->sysfs;
    for (auto& [client, state] : clients_) {
      if (state->node == node->path) EndAll(*state);
    }
    node->device.reset();  // off the bus: nothing reaches it any more
  }
  umockdev_testbed_uevent(testbed_, sysfs.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, sysfs.c_str());
  // No program opens the node again; the files open on it keep their connections.
  umockdev_testbed_detach_ioctl(testbed_, NodePath(device).c_str(), nullptr);
}

void UsbfsTestbed::FailPackets(int device, UCHAR endpoint, int error, int count) {
  std::lock_guard lock(mutex_);
  if (Node* node = NodeOf(device)) node->failedPackets[endpoint] = {error, count};
}

void UsbfsTestbed::FailTransfers(int device, UCHAR endpoint, int error, int count) {
  std::lock_guard lock(mutex_);
  if (Node* node = NodeOf(device)) node->failedTransfers[endpoint] = {error, count};
}

int UsbfsTestbed::FailuresLeft(int device, UCHAR endpoint) const {
  std::lock_guard lock(mutex_);
  auto node = nodes_.find(NodePath(device));
  if (node == nodes_.end()) return 0;
  int left = 0;
  for (const auto* failures : {&node->second.failedPackets, &node->second.failedTransfers}) {
    if (auto it = failures->find(endpoint); it != failures->end()) left += it->second.count;
  }
  return left;
}

UsbfsTestbed::Node* UsbfsTestbed::NodeOf(int device) {
  auto it = nodes_.find(NodePath(device));
  return it == nodes_.end() ? nullptr : &it->second;
}

// The URBs of a file whose device has gone: shut down, their packets that never ran too.
void UsbfsTestbed::EndAll(Client& state) {
  for (auto& [endpoint, queue] : state.flying) {
    for (Urb& urb : queue) {
      urb.urb->status = -ESHUTDOWN;
      if (urb.urb->type == USBDEVFS_URB_TYPE_ISO) {
        for (int i = urb.nextPacket; i < urb.urb->number_of_packets; ++i) {
          urb.urb->iso_frame_desc[i].status = static_cast<unsigned>(-EXDEV);
        }
      }
      state.done.push_back(urb);
    }
    queue.clear();
  }
}

std::map<unsigned long, int> UsbfsTestbed::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::uint64_t UsbfsTestbed::Reaped(UCHAR endpoint) const {
  std::lock_guard lock(mutex_);
  auto found = reaped_.find(endpoint);
  return found == reaped_.end() ? 0 : found->second;
}

int UsbfsTestbed::HandleIoctl(_UMockdevIoctlBase*, _UMockdevIoctlClient* client,
                              UsbfsTestbed* self) {
  std::lock_guard lock(self->mutex_);
  if (self->ioctlContext_ == nullptr) {
    // The handler runs from a source of the ioctl server's own main loop.
    GSource* source = g_main_current_source();
    self->ioctlContext_ = g_main_context_ref(source != nullptr ? g_source_get_context(source)
                                                               : g_main_context_default());
  }
  return self->Handle(client) ? TRUE : FALSE;
}

UsbfsTestbed::Node* UsbfsTestbed::NodeOf(_UMockdevIoctlClient* client) {
  auto it = nodes_.find(umockdev_ioctl_client_get_devnode(client));
  return it == nodes_.end() ? nullptr : &it->second;
}

bool UsbfsTestbed::Handle(_UMockdevIoctlClient* client) {
  Node* node = NodeOf(client);
  if (node == nullptr) return false;
  auto found = clients_.find(client);
  if (found == clients_.end()) {
    ForgetClosedFiles();
    g_object_ref(client);
    found = clients_.emplace(client, std::make_unique<Client>(Client{node->path, {}, {}, nullptr}))
                .first;
  }
  std::unique_ptr<Client>& state = found->second;
  unsigned long request = umockdev_ioctl_client_get_request(client);
  ++requests_[request];
  if (node->gone) {
    // What was in flight is still reaped; then the file only says that the device has gone.
    if (request == USBDEVFS_REAPURBNDELAY && !state->done.empty()) {
      HandOut(client, *state);
    } else {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    return true;
  }
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
      if (caps == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
      }
      std::uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      std::memcpy(caps->data, &value, sizeof(value));
      g_object_unref(caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_CLEAR_HALT:
      return ClearHalt(client, *node);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    case USBDEVFS_SETCONFIGURATION:
      return SetConfiguration(client, *node);
    case USBDEVFS_SUBMITURB:
      return Submit(client, *state, *node);
    case USBDEVFS_DISCARDURB:
      return Discard(client, *state);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(client, *state);
      return true;
    default:
      return false;
  }
}

bool UsbfsTestbed::SetConfiguration(_UMockdevIoctlClient* client, Node& node) {
  int configuration = Argument<int>(client);
  if (configuration == -1) configuration = 0;  // usbfs's word for "unconfigured"
  node.halted.clear();                         // a configuration clears every halt
  USB_DEFAULT_PIPE_SETUP_PACKET setup{0x00, USB_REQUEST_SET_CONFIGURATION,
                                      static_cast<USHORT>(configuration), 0, 0};
  ULONG transferred = 0;
  USBD_STATUS status = node.device->Control(setup, nullptr, transferred);
  umockdev_ioctl_client_complete(client, USBD_SUCCESS(status) ? 0 : -1,
                                 USBD_SUCCESS(status) ? 0 : EINVAL);
  return true;
}

bool UsbfsTestbed::ClearHalt(_UMockdevIoctlClient* client, Node& node) {
  node.halted.erase(static_cast<UCHAR>(Argument<unsigned>(client)));
  umockdev_ioctl_client_complete(client, 0, 0);
  return true;
}

bool UsbfsTestbed::Submit(_UMockdevIoctlClient* client, Client& state, Node& node) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Urb urb;
  // Each fetch from the client fails while its program is being killed (SIGKILL in the middle of
  // the ioctl); the URB is then refused, never queued half read.
  auto unreadable = [&] {
    if (urb.data != nullptr) g_object_unref(urb.data);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return true;
  };
  urb.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (urb.data == nullptr) return unreadable();
  const auto* head = reinterpret_cast<const usbdevfs_urb*>(urb.data->data);
  if (head->type == USBDEVFS_URB_TYPE_ISO && head->number_of_packets > 0) {
    // The packet descriptors follow the record, as many as it says: the local copy is made
    // that long and fetched again from the client, which may be another process.
    auto size =
        static_cast<gint>(sizeof(usbdevfs_urb) + static_cast<std::size_t>(head->number_of_packets) *
                                                     sizeof(usbdevfs_iso_packet_desc));
    g_free(urb.data->data);
    urb.data->data = static_cast<guint8*>(g_malloc0(static_cast<gsize>(size)));
    urb.data->data_len = size;
    if (!umockdev_ioctl_data_reload(urb.data, nullptr)) return unreadable();
  }
  urb.urb = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
  if (urb.urb->buffer_length > 0) {
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer),
                                    static_cast<gsize>(urb.urb->buffer_length), nullptr);
    if (buffer == nullptr) return unreadable();
    urb.buffer = buffer->data;
    g_object_unref(buffer);  // the record keeps it
  }
  urb.urb->status = 0;
  urb.urb->actual_length = 0;
  urb.urb->error_count = 0;
  umockdev_ioctl_client_complete(client, 0, 0);
  if (urb.urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    Control(node, urb);
    state.done.push_back(urb);
  } else {
    // As on a controller, an isochronous URB starts at the earliest in the next frame.
    urb.firstFrame = frame_.load() + 1;
    state.flying[urb.urb->endpoint].push_back(urb);
  }
  return true;
}

void UsbfsTestbed::Control(Node& node, Urb& urb) {
  if (urb.urb->buffer_length < 8) {
    urb.urb->status = -EINVAL;
    return;
  }
  USB_DEFAULT_PIPE_SETUP_PACKET setup;
  std::memcpy(&setup, urb.buffer, sizeof(setup));
  setup.wLength = static_cast<USHORT>(
      std::min<int>(setup.wLength, urb.urb->buffer_length - static_cast<int>(sizeof(setup))));
  ULONG transferred = 0;
  USBD_STATUS status = node.device->Control(setup, urb.buffer + sizeof(setup), transferred);
  urb.urb->status = UrbErrno(status);
  urb.urb->actual_length = static_cast<int>(transferred);
}

bool UsbfsTestbed::Discard(_UMockdevIoctlClient* client, Client& state) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto address = reinterpret_cast<gulong>(*reinterpret_cast<void* const*>(arg->data));
  for (auto& [endpoint, queue] : state.flying) {
    auto found = std::find_if(queue.begin(), queue.end(),
                              [&](const Urb& urb) { return urb.data->client_addr == address; });
    if (found == queue.end()) continue;
    found->urb->status = -ENOENT;
    state.done.push_back(*found);
    queue.erase(found);
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
  return true;
}

// A reap hands out a URB that is done; with none, it waits a little (FrameLoop). The node of an
// emulated device always polls ready, so libusb's event thread would otherwise ask again at
// once, for ever.
void UsbfsTestbed::Reap(_UMockdevIoctlClient* client, Client& state) {
  if (!state.done.empty()) {
    HandOut(client, state);
    return;
  }
  if (state.parkedReap != nullptr) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  state.parkedReap = static_cast<_UMockdevIoctlClient*>(g_object_ref(client));
}

void UsbfsTestbed::HandOut(_UMockdevIoctlClient* client, Client& state) {
  Urb urb = state.done.front();
  state.done.pop_front();
  ++reaped_[urb.urb->endpoint];
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (pointer == nullptr) {  // the client's program is being killed
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    g_object_unref(urb.data);
    return;
  }
  umockdev_ioctl_data_set_ptr(pointer, 0, urb.data);
  g_object_unref(pointer);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(urb.data);
}

int UsbfsTestbed::TakeFailure(std::map<UCHAR, Failures>& failures, UCHAR endpoint) {
  auto it = failures.find(endpoint);
  if (it == failures.end() || it->second.count <= 0) return 0;
  --it->second.count;
  return it->second.error;
}

// A halted endpoint stalls every URB; otherwise an injected failure ends the URB as a whole, an
// isochronous one only before its first packet.
bool UsbfsTestbed::FailedOnTheBus(Node& node, Urb& urb) {
  usbdevfs_urb& record = *urb.urb;
  int error = node.halted.contains(record.endpoint) ? -EPIPE : 0;
  bool fresh = record.type != USBDEVFS_URB_TYPE_ISO || urb.nextPacket == 0;
  if (error == 0 && fresh) error = TakeFailure(node.failedTransfers, record.endpoint);
  if (error == 0) return false;
  if (error == -EPIPE && record.type == USBDEVFS_URB_TYPE_BULK) node.halted.insert(record.endpoint);
  record.status = error;
  for (int i = urb.nextPacket; i < record.number_of_packets; ++i) {
    record.iso_frame_desc[i].status = static_cast<unsigned>(-EXDEV);
    record.iso_frame_desc[i].actual_length = 0;
    ++record.error_count;
  }
  return true;
}

bool UsbfsTestbed::RunFrame(Node& node, Urb& urb, std::uint32_t frame) {
  usbdevfs_urb& record = *urb.urb;
  std::span<BYTE> whole(urb.buffer, static_cast<std::size_t>(std::max(record.buffer_length, 0)));
  if (record.type == USBDEVFS_URB_TYPE_ISO && frame < urb.firstFrame) return false;
  if (FailedOnTheBus(node, urb)) return true;
  if (record.type == USBDEVFS_URB_TYPE_ISO) {
    usbdevfs_iso_packet_desc& packet = record.iso_frame_desc[urb.nextPacket];
    std::span<BYTE> bytes = whole.subspan(urb.bufferAt, packet.length);
    int error = TakeFailure(node.failedPackets, record.endpoint);
    if (error != 0) {
      packet.actual_length = 0;
    } else if ((record.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0) {
      ULONG length = 0;
      error = UrbErrno(node.device->IsoIn(record.endpoint, frame, bytes, length));
      packet.actual_length = length;
    } else {
      error = UrbErrno(node.device->IsoOut(record.endpoint, frame, bytes));
      packet.actual_length = error == 0 ? packet.length : 0;
    }
    packet.status = static_cast<unsigned>(error);
    if (error != 0) ++record.error_count;
    record.actual_length += static_cast<int>(packet.actual_length);
    urb.bufferAt += packet.length;
    return ++urb.nextPacket == record.number_of_packets;
  }
  if ((record.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0) {
    std::optional<ULONG> answer = node.device->BulkIn(record.endpoint, whole);
    if (!answer) return false;
    record.actual_length = static_cast<int>(std::min<std::size_t>(*answer, whole.size()));
    return true;
  }
  if (!node.device->BulkOut(record.endpoint, whole)) return false;
  record.actual_length = record.buffer_length;
  return true;
}

// A reap waits a quarter of a frame at most: umockdev's preload library passes one ioctl of the
// process at a time, so a parked reap holds up libusb's submissions for as long as it waits.
void UsbfsTestbed::FrameLoop() {
  constexpr auto kTick = std::chrono::microseconds(250);
  constexpr std::uint64_t kTicksPerFrame = 4;
  auto start = std::chrono::steady_clock::now();
  for (std::uint64_t tick = 1; !stopping_; ++tick) {
    std::this_thread::sleep_until(start + kTick * tick);
    std::unique_lock lock(mutex_);
    bool frameEnds = tick % kTicksPerFrame == 0;
    std::uint32_t frame = frame_.load();
    bool parked = false;
    for (auto& [client, state] : clients_) {
      if (frameEnds) EndOfFrame(*state, frame);
      parked = parked || state->parkedReap != nullptr;
    }
    if (frameEnds) frame_ = frame + 1;
    lock.unlock();
    if (parked) PostAnswers();
    if (frameEnds) HoldWhenStalled(frame);
  }
}

// umockdev's client objects belong to the ioctl server's thread: a client answered from another
// thread may be sending its next request, or be torn down because its program has ended, while
// the answer is built. So the frame thread only asks that thread to answer, once at a time.
void UsbfsTestbed::PostAnswers() {
  std::lock_guard lock(mutex_);
  if (answersPosted_ || ioctlContext_ == nullptr) return;
  answersPosted_ = true;
  g_main_context_invoke(ioctlContext_, &UsbfsTestbed::AnswerParkedReaps, this);
}

// On the ioctl server's thread: every parked reap gets a URB that is done, or EAGAIN (ENODEV once
// its device has gone).
int UsbfsTestbed::AnswerParkedReaps(void* self) {
  auto* testbed = static_cast<UsbfsTestbed*>(self);
  std::lock_guard lock(testbed->mutex_);
  for (auto& [client, state] : testbed->clients_) {
    if (state->parkedReap == nullptr) continue;
    if (state->done.empty()) {
      bool gone = testbed->nodes_.at(state->node).gone;
      umockdev_ioctl_client_complete(state->parkedReap, -1, gone ? ENODEV : EAGAIN);
    } else {
      testbed->HandOut(state->parkedReap, *state);
    }
    g_object_unref(state->parkedReap);
    state->parkedReap = nullptr;
  }
  testbed->answersPosted_ = false;  // the last use of the testbed (see the destructor)
  return G_SOURCE_REMOVE;
}

void UsbfsTestbed::Stall(const mdmsim::StallPlan& plan, std::uint32_t seed) {
  std::lock_guard lock(mutex_);
  stalls_.emplace(plan, seed);
  nextStall_ = frame_.load() + static_cast<std::uint32_t>(stalls_->NextGapMs());
}

void UsbfsTestbed::HoldWhenStalled(std::uint32_t frame) {
  int holdMs = 0;
  {
    std::lock_guard lock(mutex_);
    if (!stalls_ || frame < nextStall_) return;
    holdMs = stalls_->NextStallMs();
    nextStall_ = frame + static_cast<std::uint32_t>(stalls_->NextGapMs());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
}

// Each endpoint's first URB gets the frame; bulk URBs after it too while the device answers.
void UsbfsTestbed::EndOfFrame(Client& state, std::uint32_t frame) {
  Node& node = nodes_.at(state.node);
  for (auto& [endpoint, queue] : state.flying) {
    while (!queue.empty() && RunFrame(node, queue.front(), frame)) {
      state.done.push_back(queue.front());
      queue.pop_front();
      if (queue.empty() || queue.front().urb->type == USBDEVFS_URB_TYPE_ISO) break;
    }
  }
}

}  // namespace tests::usbfs
