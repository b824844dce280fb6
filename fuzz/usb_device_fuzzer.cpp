// mdmcore against a USB device that says whatever the input says. The input is the device's side
// of one short session: its descriptors and strings, then what it answers on each endpoint
// (status packets, data-in packets, indications, how long it holds off commands). The driver is
// loaded, the device plugged, added and started, a port side attached, and virtual time runs
// for a fixed stretch; then the device is stopped and removed (or pulled out) and the driver
// unloaded. The verifier, the pool's accounting at unload, AddressSanitizer and LeakSanitizer
// watch throughout; the harness itself checks that the port side is never handed a byte the
// device did not send, and that every count the driver hands it lies in mapped memory.
//
// MDM_USB_DEVICE_SEEDS=FOLDER writes the seed inputs into FOLDER and exits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/core/devext.h"
#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/registry/store.h"
#include "platform/vxd/flat.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/pool.h"
#include "sim/portdrv/port_record.h"
#include "sim/usbdevice/modem.h"
#include "sim/world/world.h"
#include "tests/support/virtual_time.h"

namespace {

namespace pnp = platform::wdm::pnp;
namespace vxd = platform::vxd;
namespace portdrv = sim::portdrv;
using sim::usbdevice::Descriptors;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "usb_device_fuzzer: %s\n", what.c_str());
  std::abort();
}

// ---- The input -------------------------------------------------------------------------------

// The header of an input: byte 0 the options below, byte 1 the port side's receive room in units
// of 16 bytes, byte 2 the further options after them. Byte 0 tells which descriptors the input
// gives (else the modem's own) and what the port side does.
enum Option : std::uint8_t {
  kOwnDevice = 0x01,      // the device descriptor follows (length byte, bytes)
  kOwnConfig = 0x02,      // configuration index 1 follows: count, then 2-byte length, bytes each
  kOwnStrings = 0x04,     // strings follow (count, then index, length byte, bytes each)
  kOutX = 0x08,           // the port side has the driver filter XON/XOFF from the modem
  kLines = 0x10,          // the port side raises DTR/RTS and sets the line (commands go out)
  kPullOut = 0x20,        // the device is pulled off the bus at the end instead of stopped
  kStayAttached = 0x40,   // the port side stays attached through the stop or removal
  kPortTransmits = 0x80,  // the port side has bytes for the modem (the data-out path runs)
};

enum FurtherOption : std::uint8_t {
  kRestart = 0x01,       // the device is stopped and started again halfway
  kUnitBySerial = 0x02,  // the port side names the modem by its serial number, not ""
  kPollAttach = 0x04,    // the port side attaches with the poll message
};

// Events after the header: a tag byte (taken modulo kEventKinds) and its bytes.
enum Event : std::uint8_t {
  kStatus,        // length byte (at most 8), bytes: one status packet
  kStatusRun,     // count, 8 bytes: count status packets, the sequence byte counting on
  kDataIn,        // length byte (at most 64), bytes: one data-in packet
  kIndication,    // length byte (at most 32), bytes: one answer of the indication read
  kCommandHold,   // count: frames the next command is not taken (NAK) before it is
  kStatusError,   // status selector: the next status packet fails on the bus
  kDataInError,   // status selector: the next data-in packet fails on the bus
  kDataOutError,  // status selector: the next data-out packet is not taken
  kBusFault,      // what (bit 7: whole transfers, else packets; endpoint selector), status
                  // selector, count: the bus ends that many of them so, from the start on
  kEventKinds
};

constexpr std::size_t kMaxConfig = 2048;
constexpr std::size_t kMaxConfigAnswers = 4;
constexpr std::size_t kMaxStrings = 8;
constexpr std::size_t kDataPacket = 64;
constexpr std::size_t kMessage = 32;
constexpr UCHAR kStatusEndpoint = 0x81;
constexpr UCHAR kIndicationEndpoint = 0x83;
constexpr UCHAR kCommandEndpoint = 0x04;
constexpr UCHAR kDataInEndpoint = 0x85;
constexpr UCHAR kDataOutEndpoint = 0x06;
constexpr std::size_t kPayload = 62;
constexpr USBD_STATUS kPacketFailures[] = {USBD_STATUS_STALL_PID, USBD_STATUS_DEV_NOT_RESPONDING,
                                           USBD_STATUS_NOT_ACCESSED, USBD_STATUS_XACT_ERROR};
constexpr UCHAR kEndpoints[] = {kStatusEndpoint, kDataInEndpoint, kDataOutEndpoint,
                                kIndicationEndpoint, kCommandEndpoint};
// What the bus may make of a transfer or packet; a packet missed in its frame included.
constexpr USBD_STATUS kBusStatuses[] = {
    USBD_STATUS_SUCCESS,      USBD_STATUS_STALL_PID,  USBD_STATUS_DEV_NOT_RESPONDING,
    USBD_STATUS_NOT_ACCESSED, USBD_STATUS_XACT_ERROR, static_cast<USBD_STATUS>(0xC000000Eu)};

// Reads the input front to back; past its end every read gives zeros or nothing.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool done() const { return at_ >= bytes_.size(); }
  std::uint8_t Byte() { return done() ? 0 : bytes_[at_++]; }
  std::vector<BYTE> Bytes(std::size_t count) {
    std::size_t take = std::min(count, bytes_.size() - std::min(at_, bytes_.size()));
    std::vector<BYTE> out(bytes_.begin() + static_cast<long>(at_),
                          bytes_.begin() + static_cast<long>(at_ + take));
    at_ += take;
    return out;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// One answer of an isochronous IN endpoint: bytes, or a failed packet.
struct IsoAnswer {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<BYTE> bytes;
};

// Faults of the bus itself, set up before the device is added.
struct BusFault {
  bool transfers = false;  // whole transfers, else packets
  UCHAR endpoint = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  int count = 0;
};

struct Script {
  std::uint8_t options = 0;
  LONG room = 0;             // the port side's receive room
  std::uint8_t further = 0;  // FurtherOption bits
  std::string unit;          // the unit name the port side attaches with
  Descriptors descriptors;
  // Configuration index 1 as the device answers its reads in turn, the last one from then on
  // (none: the modem's).
  std::deque<std::vector<BYTE>> configAnswers;
  std::deque<IsoAnswer> status;
  std::deque<IsoAnswer> dataIn;
  std::deque<std::vector<BYTE>> indications;
  std::deque<int> commandHolds;
  std::deque<USBD_STATUS> dataOut;  // failures of data-out packets, in turn
  std::vector<BusFault> busFaults;
};

UCHAR NextSequence(UCHAR sequence) {
  return sequence >= 254 ? 1 : static_cast<UCHAR>(sequence + 1);
}

void ReadStatusRun(Reader& in, Script& script) {
  int count = in.Byte();
  std::vector<BYTE> packet = in.Bytes(8);
  packet.resize(8, 0);
  for (int i = 0; i < count; ++i) {
    script.status.push_back({USBD_STATUS_SUCCESS, packet});
    if (packet[7] != 0) packet[7] = NextSequence(packet[7]);
  }
}

void ReadEvent(Reader& in, Script& script) {
  switch (in.Byte() % kEventKinds) {
    case kStatus:
      script.status.push_back({USBD_STATUS_SUCCESS, in.Bytes(std::min<std::size_t>(in.Byte(), 8))});
      break;
    case kStatusRun:
      ReadStatusRun(in, script);
      break;
    case kDataIn:
      script.dataIn.push_back(
          {USBD_STATUS_SUCCESS, in.Bytes(std::min<std::size_t>(in.Byte(), kDataPacket))});
      break;
    case kIndication:
      script.indications.push_back(in.Bytes(std::min<std::size_t>(in.Byte(), kMessage)));
      break;
    case kCommandHold:
      script.commandHolds.push_back(in.Byte());
      break;
    case kStatusError:
      script.status.push_back({kPacketFailures[in.Byte() % std::size(kPacketFailures)], {}});
      break;
    case kDataInError:
      script.dataIn.push_back({kPacketFailures[in.Byte() % std::size(kPacketFailures)], {}});
      break;
    case kDataOutError:
      script.dataOut.push_back(kPacketFailures[in.Byte() % std::size(kPacketFailures)]);
      break;
    case kBusFault: {
      std::uint8_t what = in.Byte();
      BusFault fault{(what & 0x80) != 0, kEndpoints[(what & 0x7F) % std::size(kEndpoints)]};
      fault.status = kBusStatuses[in.Byte() % std::size(kBusStatuses)];
      fault.count = in.Byte();
      script.busFaults.push_back(fault);
      break;
    }
  }
}

// The serial number as the port side knows it: the low byte of each unit of the string the device
// descriptor names, up to the first zero.
std::string SerialText(const Descriptors& descriptors) {
  UCHAR index = descriptors.device.size() > 16 ? descriptors.device[16] : 0;
  auto it = descriptors.strings.find(index);
  std::string text;
  if (it == descriptors.strings.end()) return text;
  for (std::size_t at = 2; at < it->second.size() && it->second[at] != 0; at += 2) {
    text += static_cast<char>(it->second[at]);
  }
  return text;
}

Script ReadScript(std::span<const std::uint8_t> input) {
  Reader in(input);
  Script script;
  script.options = in.Byte();
  script.room = static_cast<LONG>(in.Byte()) * 16;
  script.further = in.Byte();
  script.descriptors = sim::usbdevice::ModemDescriptors({});
  Descriptors& descriptors = script.descriptors;
  if ((script.options & kOwnDevice) != 0) descriptors.device = in.Bytes(in.Byte());
  if ((script.options & kOwnConfig) != 0) {
    std::size_t count = std::clamp<std::size_t>(in.Byte(), 1, kMaxConfigAnswers);
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t length = in.Byte();
      length = std::min(length | std::size_t{in.Byte()} << 8, kMaxConfig);
      script.configAnswers.push_back(in.Bytes(length));
    }
  }
  if ((script.options & kOwnStrings) != 0) {
    descriptors.strings.clear();
    std::size_t count = std::min<std::size_t>(in.Byte(), kMaxStrings);
    for (std::size_t i = 0; i < count; ++i) {
      UCHAR index = in.Byte();
      descriptors.strings[index] = in.Bytes(in.Byte());
    }
  }
  if ((script.further & kUnitBySerial) != 0) script.unit = SerialText(descriptors);
  while (!in.done()) ReadEvent(in, script);
  return script;
}

// ---- The device ------------------------------------------------------------------------------

// Answers control requests from its descriptors (as any described device) and everything else
// from the script; an endpoint whose answers have run out sends empty packets, leaves the
// indication read waiting, and takes commands at once. Every payload byte a data-in packet
// could carry, by its own length byte and the bytes actually sent, is kept in order.
class ScriptedDevice final : public sim::usbdevice::DescribedDevice {
 public:
  explicit ScriptedDevice(Script& script)
      : DescribedDevice(std::move(script.descriptors)), script_(script) {}

  // A device need not give the same configuration descriptor twice: each read of index 1 may
  // bring the next one the script holds.
  USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, BYTE* data,
                      ULONG& transferred) override {
    bool configRead = setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
                      setup.wValue == (USB_CONFIGURATION_DESCRIPTOR_TYPE << 8 | 1);
    if (configRead && !script_.configAnswers.empty()) {
      descriptors().configurations[1] = script_.configAnswers.front();
      if (script_.configAnswers.size() > 1) script_.configAnswers.pop_front();
    }
    return DescribedDevice::Control(setup, data, transferred);
  }

  USBD_STATUS IsoIn(UCHAR endpoint, ULONG, std::span<BYTE> data, ULONG& length) override {
    length = 0;
    if (configuration() == 0) return USBD_STATUS_SUCCESS;
    std::deque<IsoAnswer>* answers = endpoint == kStatusEndpoint   ? &script_.status
                                     : endpoint == kDataInEndpoint ? &script_.dataIn
                                                                   : nullptr;
    if (answers == nullptr || answers->empty()) return USBD_STATUS_SUCCESS;
    IsoAnswer answer = std::move(answers->front());
    answers->pop_front();
    if (answer.status != USBD_STATUS_SUCCESS) return answer.status;
    length = static_cast<ULONG>(std::min(answer.bytes.size(), data.size()));
    std::copy_n(answer.bytes.begin(), length, data.begin());
    if (endpoint == kDataInEndpoint && length > 1) {
      std::size_t payload = std::min<std::size_t>(data[0], length - 1);
      sent_.insert(sent_.end(), data.begin() + 1, data.begin() + 1 + static_cast<long>(payload));
    }
    return USBD_STATUS_SUCCESS;
  }

  USBD_STATUS IsoOut(UCHAR endpoint, ULONG, std::span<const BYTE> data) override {
    if (!script_.dataOut.empty()) {
      USBD_STATUS status = script_.dataOut.front();
      script_.dataOut.pop_front();
      return status;
    }
    if (endpoint == kDataOutEndpoint && data.size() >= 2) {
      std::size_t payload = std::min<std::size_t>({data[1], kPayload, data.size() - 2});
      taken_.insert(taken_.end(), data.begin() + 2, data.begin() + 2 + static_cast<long>(payload));
    }
    return USBD_STATUS_SUCCESS;
  }

  std::optional<ULONG> BulkIn(UCHAR endpoint, std::span<BYTE> data) override {
    if (endpoint != kIndicationEndpoint || script_.indications.empty()) return std::nullopt;
    std::vector<BYTE> message = std::move(script_.indications.front());
    script_.indications.pop_front();
    std::size_t count = std::min(message.size(), data.size());
    std::copy_n(message.begin(), count, data.begin());
    return static_cast<ULONG>(count);
  }

  bool BulkOut(UCHAR endpoint, std::span<const BYTE>) override {
    if (endpoint != kCommandEndpoint || script_.commandHolds.empty()) return true;
    if (script_.commandHolds.front()-- > 0) return false;
    script_.commandHolds.pop_front();
    return true;
  }

  // Every payload byte the device sent on its data-in endpoint, in order.
  const std::vector<BYTE>& sent() const { return sent_; }
  // Every payload byte of the data-out packets the device took, in order.
  const std::vector<BYTE>& taken() const { return taken_; }

 private:
  Script& script_;
  std::vector<BYTE> sent_;
  std::vector<BYTE> taken_;
};

// ---- The port side ---------------------------------------------------------------------------

// The serial-port driver's side, reduced to what the check needs: it answers the status report
// with its receive room and waiting bytes, hands over what it has to send, and keeps every byte
// the driver delivers. Touched on the world thread only.
struct PortSide {
  LONG room = 0;
  std::deque<BYTE> transmit;
  std::vector<BYTE> given;  // handed to the driver with PORT_GET_DATA
  std::vector<BYTE> received;
  std::uint32_t handle = 0;
  std::uint32_t entry = 0;
};
PortSide gPort;

// The bytes behind a count-prefixed area the driver passes: the count byte and `count` bytes
// after it must lie in mapped memory.
BYTE* Area(std::uint32_t flat, std::size_t count, const char* function) {
  auto* area = static_cast<BYTE*>(vxd::FromFlat(flat, 1 + count));
  if (area == nullptr) Fail(std::string(function) + ": the area is not mapped for its count");
  return area;
}

void PortCallback(std::uint32_t, std::uint32_t address) {
  auto* record = vxd::FromFlat<portdrv::PortRecord>(address);
  if (record == nullptr) Fail("the driver called the port side without a mapped record");
  switch (record->function) {
    case portdrv::kPortPutMsr:
      // One register byte, in byte 13 of the record.
      if ((record->parameter1 & ~0xFF00u) != 0) Fail("PORT_PUT_MSR: more than a register byte");
      record->parameter1 = static_cast<std::uint32_t>(gPort.room);
      record->result = static_cast<std::uint32_t>(gPort.transmit.size());
      break;
    case portdrv::kPortGetData: {
      BYTE* area = Area(record->parameter1, 62, "PORT_GET_DATA");
      std::size_t count = std::min<std::size_t>({area[0], 62, gPort.transmit.size()});
      std::copy_n(gPort.transmit.begin(), count, area + 1);
      gPort.given.insert(gPort.given.end(), area + 1, area + 1 + count);
      gPort.transmit.erase(gPort.transmit.begin(),
                           gPort.transmit.begin() + static_cast<long>(count));
      area[0] = static_cast<BYTE>(count);
      break;
    }
    case portdrv::kPortPutData: {
      BYTE* count = Area(record->parameter1, 0, "PORT_PUT_DATA");
      if (*count > 62) Fail("PORT_PUT_DATA: more bytes than a data-in packet carries");
      BYTE* bytes = Area(record->parameter1, *count, "PORT_PUT_DATA");
      gPort.received.insert(gPort.received.end(), bytes + 1, bytes + 1 + *count);
      break;
    }
    case portdrv::kPortDetach:
      gPort.handle = 0;
      gPort.entry = 0;
      break;
  }
}

// An empty unit name names the first modem of the driver's table: the only one here, whatever
// its serial number says.
bool Attach(const std::string& unit, bool poll) {
  vxd::FlatScope flatName(unit.c_str(), unit.size() + 1);
  portdrv::PortRecord record{};
  record.function = poll ? 0 : portdrv::kWdmAttach;
  record.unitName = flatName.flat();
  record.parameter1 = 1;
  record.parameter2 = vxd::EntryToFlat<portdrv::PortCallbackFn>(&PortCallback);
  vxd::FlatScope flatRecord(record);
  vxd::SendControlMessage(portdrv::kDriverName,
                          poll ? portdrv::kPollMessage : portdrv::kAttachMessage,
                          flatRecord.flat());
  if ((record.result & 0x80000000u) != 0 || record.callbackEntry == 0) return false;
  gPort.handle = record.deviceHandle;
  gPort.entry = record.callbackEntry;
  return true;
}

void CallDriver(std::uint32_t function, std::uint32_t parameter1, std::uint32_t parameter2) {
  auto* callback = vxd::EntryFromFlat<portdrv::DriverCallbackFn>(gPort.entry);
  if (callback == nullptr) return;
  portdrv::PortRecord record{};
  record.function = function;
  record.parameter1 = parameter1;
  record.parameter2 = parameter2;
  vxd::FlatScope flat(record);
  callback(gPort.handle, flat.flat());
}

// What the port side does once attached, by the input's options.
void OpenPort(std::uint8_t options) {
  if ((options & kOutX) != 0) CallDriver(portdrv::kWdmSetXonXoff, 0x100, 0);
  if ((options & kLines) != 0) {
    CallDriver(portdrv::kWdmSetMcr, 3, 0);
    CallDriver(portdrv::kWdmSetLine, 57600, 8 | 0 << 8 | 0 << 16);
  }
  if ((options & kPortTransmits) != 0) {
    const char text[] = "ATDT5551234\r";
    gPort.transmit.assign(text, text + sizeof(text) - 1);
  }
}

// ---- One session -----------------------------------------------------------------------------

// Virtual time the started device runs: the status chain starts 100 ms after the start, so this
// leaves about 300 frames of traffic.
constexpr auto kRunTime = platform::clock::Milliseconds(400);

// Each side may receive only payload bytes the other sent, in their order; the driver may drop
// some (XON/XOFF, rejected packets), so what arrived is a subsequence of what was sent.
void CheckPassedOn(const std::vector<BYTE>& sent, const std::vector<BYTE>& received,
                   const char* sender, const char* receiver) {
  std::string counts = std::string(receiver) + " received " + std::to_string(received.size()) +
                       " bytes; " + sender + " sent " + std::to_string(sent.size());
  if (received.size() > sent.size()) Fail(counts);
  std::size_t at = 0;
  for (BYTE byte : received) {
    while (at < sent.size() && sent[at] != byte) ++at;
    if (at == sent.size()) Fail(counts + ", and not all of them in that order");
    ++at;
  }
}

bool OpenPortSide(sim::world::World& world, const Script& script) {
  bool attached = false;
  world.Call([&] {
    attached = Attach(script.unit, (script.further & kPollAttach) != 0);
    if (attached) OpenPort(script.options);
  });
  return attached;
}

void ClosePortSide(sim::world::World& world, bool attached) {
  if (attached) world.Call([] { CallDriver(portdrv::kWdmDetach, 0, 0); });
}

// An orderly stop is refused while the port side is attached (the modem is busy), and granted
// once it has detached as a closing COM port does.
void Restart(sim::world::World& world, PDEVICE_OBJECT pdo, bool& attached, const Script& script) {
  ClosePortSide(world, attached);
  attached = false;
  if (!NT_SUCCESS(pnp::StopDevice(pdo))) Fail("the device is not stopped once the port is closed");
  if (NT_SUCCESS(pnp::StartDevice(pdo))) attached = OpenPortSide(world, script);
}

// Surprise removal goes ahead whatever the port side does. An orderly removal is refused while
// the port side is attached: with kStayAttached stop and removal are tried so first, then the
// port side detaches, and then the removal must succeed.
void RunStarted(sim::world::World& world, PDEVICE_OBJECT pdo, const Script& script) {
  std::uint8_t options = script.options;
  bool restart = (script.further & kRestart) != 0;
  bool attached = OpenPortSide(world, script);
  if (restart) {
    platform::clock::SleepFor(kRunTime / 2);
    Restart(world, pdo, attached, script);
  }
  platform::clock::SleepFor(restart ? kRunTime / 2 : kRunTime);
  if ((options & kPullOut) != 0) {
    world.Detach(pdo);
    pnp::SurpriseRemoveDevice(pdo);
    return;
  }
  if ((options & kStayAttached) != 0) {
    pnp::StopDevice(pdo);
    pnp::RemoveDevice(pdo);
  }
  ClosePortSide(world, attached);
  pnp::StopDevice(pdo);
  if (!NT_SUCCESS(pnp::RemoveDevice(pdo))) {
    Fail("the device is not removed once the port is closed");
  }
}

void RunSession(Script& script) {
  testing_support::VirtualTime time;
  sim::world::World world;
  PDRIVER_OBJECT driver = nullptr;
  if (!NT_SUCCESS(pnp::LoadDriver(DriverEntry, "mdmcore", &driver)))
    Fail("the driver does not load");
  gPort = PortSide{};
  gPort.room = script.room;
  auto device = std::make_shared<ScriptedDevice>(script);
  PDEVICE_OBJECT pdo = world.Plug(device);
  world.Call([&] {
    for (const BusFault& fault : script.busFaults) {
      if (fault.transfers) {
        world.bus().InjectTransferStatus(fault.endpoint, fault.status, fault.count);
      } else {
        world.bus().InjectPacketStatus(fault.endpoint, fault.status, fault.count);
      }
    }
  });
  if (NT_SUCCESS(pnp::AddDevice(driver, pdo))) {
    if (NT_SUCCESS(pnp::StartDevice(pdo))) {
      RunStarted(world, pdo, script);
    } else {
      pnp::RemoveDevice(pdo);
    }
  }
  world.Unplug(pdo);
  pnp::UnloadDriver(driver);
  // The pool keeps every block it handed out, so LeakSanitizer never sees one left behind.
  platform::wdm::pool::Report left = platform::wdm::pool::Outstanding();
  if (!left.blocks.empty() || left.requests != 0) Fail(platform::wdm::pool::FormatReport(left));
  CheckPassedOn(device->sent(), gPort.received, "the device", "the port side");
  CheckPassedOn(gPort.given, device->taken(), "the port side", "the device");
}

// One platform root for the whole run, emptied before every input: the driver's installation
// writes the registry and the file system, and each input starts from the same clean system.
void CleanSystem() {
  static platform::TemporaryRoot root("mdm-usbfuzz-");
  if (root.path().empty()) Fail("no platform root");
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(root.path(), error)) {
    if (entry.path().filename() != platform::kScratchMarker) {
      std::filesystem::remove_all(entry.path(), error);
    }
  }
  platform::registry::Default().Forget();
  vxd::ResetSystem();
}

// ---- Seeds -----------------------------------------------------------------------------------

void Put(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
  out.insert(out.end(), bytes);
}

// A well-behaved modem: its own descriptors, a healthy status stream that reports bytes for the
// host and an indication, the data-in packets with them, and the indication itself.
std::vector<std::uint8_t> WellBehavedSeed() {
  std::vector<std::uint8_t> out = {kLines | kPortTransmits, 0xFF, 0};
  // Receive level 20, transmit level 0; next data-out sequence 1; CTS, DSR, DCD.
  ULONG word = 20u << 11 | 1u << 22;
  Put(out, {kStatusRun, 10, static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
            static_cast<std::uint8_t>(word >> 16), 0, 1, 0, 0x0B, 1});
  Put(out, {kDataIn, 12, 10, 'C', 'O', 'N', 'N', 'E', 'C', 'T', ' ', '5', '6', 1});
  Put(out, {kDataIn, 12, 10, '0', '0', '0', '\r', '\n', 'O', 'K', '\r', '\n', 0, 2});
  std::vector<BYTE> flow = sim::usbdevice::UsbModem::FlowSettings(0x11, 0x13, 0, 0, 0, 0, 0);
  out.push_back(kIndication);
  out.push_back(static_cast<std::uint8_t>(flow.size()));
  out.insert(out.end(), flow.begin(), flow.end());
  Put(out, {kStatusRun, 200, 0, 0, 0, 0, 2, 0, 0x0B, 11});
  return out;
}

// Descriptors of the input's own: a device descriptor cut short, a configuration whose total
// length claims more than it holds, and strings with odd lengths.
std::vector<std::uint8_t> OddDescriptorsSeed() {
  std::vector<std::uint8_t> out = {kOwnDevice | kOwnConfig | kOwnStrings, 0x40, 0};
  Put(out, {10, 18, 1, 0x10, 0x01, 0, 0, 0, 8, 0xA9, 0xF3});
  std::vector<BYTE> config =
      sim::usbdevice::ConfigurationDescriptor(2, sim::usbdevice::ModemEndpoints());
  config[2] = 0x20;
  config[3] = 0x04;  // 1056 bytes claimed
  out.push_back(2);  // the second read brings an interface that claims nine endpoints and has none
  out.push_back(static_cast<std::uint8_t>(config.size()));
  out.push_back(0);
  out.insert(out.end(), config.begin(), config.end());
  Put(out, {18, 0, 9, 2, 18, 0, 1, 2, 0, 0x80, 0xFA, 9, 4, 0, 0, 9, 0xFF, 0, 0, 0});
  Put(out, {3, 0, 4, 4, 3, 0x09, 0x04, 3, 6, 40, 3, 'A', 0, 'B', 0, 2, 3, 3, 3, 0});
  Put(out, {kStatusRun, 50, 0, 0x58, 0x00, 0, 1, 0, 0x0B, 200});
  Put(out, {kDataIn, 64, 63});
  return out;
}

// A status stream that stumbles: errors, packets without status, a sequence that jumps, data-in
// packets with bad lengths and sequence bytes, an indication without its mark, held commands.
std::vector<std::uint8_t> StumblingSeed() {
  std::vector<std::uint8_t> out = {kOutX | kLines | kStayAttached | kPortTransmits, 0x02,
                                   kRestart | kUnitBySerial | kPollAttach};
  Put(out, {kStatusError, 2, kStatus, 8, 0, 0x50, 0x40, 0, 1, 0, 0x0B, 0, kStatus, 3, 0, 0, 0});
  Put(out, {kStatusRun, 20, 0, 0x50, 0x40, 0, 1, 0, 0x0B, 7});
  Put(out, {kStatus, 8, 0, 0x50, 0x40, 0, 1, 0, 0x0B, 99, kDataOutError, 3});
  Put(out, {kDataIn, 5, 3, 0x11, 'x', 0x13, 0});
  Put(out, {kDataIn, 6, 3, 0x11, 'x', 0x13, 5, 9});
  Put(out, {kDataInError, 2, kDataIn, 1, 62});
  Put(out, {kIndication, 4, 0x00, 2, 'A', 'B'});
  Put(out, {kBusFault, 0x82, 0, 1, kBusFault, 0x02, 3, 1});  // data out: not accessed, sent again
  Put(out, {kCommandHold, 30, kCommandHold, 2});
  Put(out, {kStatusRun, 100, 0xFF, 0xFF, 0xFF, 0xFF, 9, 0xFF, 0xFF, 100});
  return out;
}

// The same modem pulled out while the port side is still attached.
std::vector<std::uint8_t> PulledOutSeed() {
  std::vector<std::uint8_t> out = WellBehavedSeed();
  out[0] = kPullOut | kStayAttached | kLines;
  return out;
}

void WriteSeeds(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const std::pair<const char*, std::vector<std::uint8_t>> seeds[] = {
      {"well_behaved", WellBehavedSeed()},
      {"odd_descriptors", OddDescriptorsSeed()},
      {"stumbling", StumblingSeed()},
      {"pulled_out", PulledOutSeed()},
  };
  for (const auto& [name, bytes] : seeds) {
    std::ofstream file(folder / name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* folder = std::getenv("MDM_USB_DEVICE_SEEDS")) {
    WriteSeeds(folder);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CleanSystem();
  Script script = ReadScript(std::span(data, size));
  RunSession(script);
  return 0;
}
