// The modem's stream side: the status packet of every frame, data packets in both directions
// with their sequence bytes, commands and indications. Layouts (from their bytes):
//   status   [0..2] level word: tx bits 0..10, rx bits 11..21, bit 22 indication waiting;
//            [4] next data-out sequence; [6] line bits; [7] sequence 1..254, 0 = no status
//   data out [0] sequence, [1] length, [2..] payload (64 bytes)
//   data in  [0] length N, [1..N] payload, [1+N] sequence 1..254
//   command  0x88 0x01 rate(4, little-endian) format(3) | 0x83 0x02 dtr rts (32 bytes)
//   indication byte 0 bit 7 set, byte 1 kind: 1 debug text, 2 flow settings
#include <algorithm>
#include <cstring>

#include "sim/usbdevice/modem.h"

namespace sim::usbdevice {
namespace {

constexpr UCHAR kStatusEndpoint = 0x81;
constexpr UCHAR kDataInEndpoint = 0x85;
constexpr UCHAR kDataOutEndpoint = 0x06;
constexpr UCHAR kIndicationEndpoint = 0x83;
constexpr UCHAR kCommandEndpoint = 0x04;
constexpr std::size_t kPayload = 62;
constexpr std::size_t kMessage = 32;
constexpr ULONG kLevelMask = 0x7FF;

UCHAR NextSequence(UCHAR sequence) {
  return sequence >= 254 ? 1 : static_cast<UCHAR>(sequence + 1);
}

}  // namespace

UsbModem::UsbModem(const ModemIdentity& identity, modem::Behaviour behaviour)
    : DescribedDevice(ModemDescriptors(identity)), firmware_(std::move(behaviour)) {}

std::vector<BYTE> UsbModem::FlowSettings(UCHAR xon, UCHAR xoff, UCHAR writeSoft, UCHAR readSoft,
                                         UCHAR keep, UCHAR writeHard, UCHAR readHard) {
  std::vector<BYTE> message(kMessage, 0);
  message[0] = 0x80;
  message[1] = 2;
  const UCHAR values[] = {xon, xoff, writeSoft, readSoft, keep, writeHard, readHard};
  std::copy(std::begin(values), std::end(values), message.begin() + 2);
  return message;
}

std::vector<BYTE> UsbModem::DebugText(std::string_view text, bool hex) {
  std::vector<BYTE> message(kMessage, 0);
  message[0] = 0x80;
  message[1] = 1;
  message[2] = static_cast<BYTE>((text.size() & 0x7F) | (hex ? 0x80 : 0));
  std::size_t fits = std::min<std::size_t>(text.size(), kMessage - 3);
  std::memcpy(message.data() + 3, text.data(), fits);
  return message;
}

void UsbModem::QueueIndication(std::vector<BYTE> message) {
  message.resize(kMessage, 0);
  indications_.push_back(std::move(message));
}

bool UsbModem::PlugIntoLine(std::shared_ptr<modem::PhoneLine> line, std::string number) {
  return firmware_.PlugIntoLine(std::move(line), std::move(number));
}

void UsbModem::Advance() {
  platform::clock::Time now = platform::clock::Current().Now();
  std::vector<modem::Output> due;
  firmware_.Advance(due);
  Queue(due);
  // A changed &K is reported while DTR is on.
  if (line_.dtr && reportedFlow_ != firmware_.settings().flow) ReportFlow();
  while (!answers_.empty() && answers_.front().at <= now) {
    toHost_.insert(toHost_.end(), answers_.front().bytes.begin(), answers_.front().bytes.end());
    answers_.pop_front();
  }
  std::size_t take = faults_.drainPerFrame == 0
                         ? fromHost_.size()
                         : std::min<std::size_t>(fromHost_.size(), faults_.drainPerFrame);
  if (take == 0) return;
  std::vector<BYTE> bytes(fromHost_.begin(), fromHost_.begin() + static_cast<long>(take));
  fromHost_.erase(fromHost_.begin(), fromHost_.begin() + static_cast<long>(take));
  Feed(bytes);
}

// The firmware takes the bytes; its answers become due after their delays, in order.
void UsbModem::Feed(std::span<const BYTE> bytes) {
  takenFromHost_ += bytes.size();
  std::vector<modem::Output> out;
  firmware_.Receive(bytes, out);
  Queue(out);
}

void UsbModem::Queue(std::vector<modem::Output>& out) {
  if (out.empty()) return;
  platform::clock::Time at = std::max(platform::clock::Current().Now(), answersFree_);
  for (modem::Output& chunk : out) {
    at += chunk.after;
    answers_.push_back({at, std::move(chunk.bytes)});
  }
  answersFree_ = at;
}

void UsbModem::StatusPacket(std::span<BYTE> data, ULONG& length) {
  ++statusPackets_;
  Advance();
  BYTE packet[8] = {};
  // The transmit level counts host bytes not yet taken by the firmware and, in a call, those
  // still waiting for the line: the driver sends only while it is low, so the line's pace
  // reaches the host.
  // A level beyond the field's 11 bits reads as full, never as a small one.
  auto waiting = static_cast<ULONG>(
      std::min<std::size_t>(fromHost_.size() + firmware_.transmitLevel(), kLevelMask));
  ULONG tx = faults_.forcedTxLevel.value_or(waiting) & kLevelMask;
  ULONG rx = static_cast<ULONG>(std::min<std::size_t>(toHost_.size(), kLevelMask));
  bool indication = !indications_.empty() || faults_.stuckIndication || faults_.silentIndication;
  ULONG word = tx | rx << 11 | (indication ? 1u : 0u) << 22;
  packet[0] = static_cast<BYTE>(word);
  packet[1] = static_cast<BYTE>(word >> 8);
  packet[2] = static_cast<BYTE>(word >> 16);
  packet[4] = outSequence_;
  packet[6] = LineByte();
  if (faults_.zeroSequenceRun > 0) {
    --faults_.zeroSequenceRun;
    packet[7] = 0;
  } else {
    statusSequence_ = NextSequence(statusSequence_);
    if (faults_.sequenceGaps > 0) {
      --faults_.sequenceGaps;
      statusSequence_ = NextSequence(statusSequence_);
    }
    packet[7] = statusSequence_;
  }
  length = static_cast<ULONG>(std::min(data.size(), sizeof(packet)));
  std::memcpy(data.data(), packet, length);
}

UCHAR UsbModem::LineByte() const {
  modem::LineState state = firmware_.lineState();
  UCHAR bits = lineBits_ & ~kLineCts;
  if ((lineBits_ & kLineCts) && state.cts) bits |= kLineCts;
  if (state.ring) bits |= kLineRing;
  if (state.dcd) bits |= kLineDcd;
  return bits;
}

void UsbModem::DataInPacket(std::span<BYTE> data, ULONG& length) {
  Advance();
  length = 0;
  if (toHost_.empty() || data.size() < 64) return;
  std::size_t count = std::min(toHost_.size(), kPayload);
  std::fill(data.begin(), data.begin() + 64, 0);
  dataSequence_ = NextSequence(dataSequence_);
  if (faults_.oversizedDataIn > 0) {
    // A length that points past the packet; the payload stays with the modem.
    --faults_.oversizedDataIn;
    data[0] = 63;
    std::fill(data.begin() + 1, data.begin() + 64, dataSequence_);
    length = 64;
    return;
  }
  data[0] = static_cast<BYTE>(count);
  std::copy(toHost_.begin(), toHost_.begin() + static_cast<long>(count), data.begin() + 1);
  data[1 + count] = dataSequence_;
  toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<long>(count));
  sentToHost_ += count;
  length = static_cast<ULONG>(2 + count);
}

USBD_STATUS UsbModem::IsoIn(UCHAR endpoint, ULONG, std::span<BYTE> data, ULONG& length) {
  length = 0;
  if (configuration() == 0) return USBD_STATUS_SUCCESS;
  if (endpoint == kStatusEndpoint) StatusPacket(data, length);
  if (endpoint == kDataInEndpoint) DataInPacket(data, length);
  return USBD_STATUS_SUCCESS;
}

// A data-out packet is taken only with the sequence byte the modem asked for; a repeat of an
// accepted packet, or a stale one, is dropped.
USBD_STATUS UsbModem::IsoOut(UCHAR endpoint, ULONG, std::span<const BYTE> data) {
  if (endpoint != kDataOutEndpoint || data.size() < 2) return USBD_STATUS_SUCCESS;
  if (data[0] != outSequence_) {
    ++rejected_;
    return USBD_STATUS_SUCCESS;
  }
  outSequence_ = NextSequence(outSequence_);
  std::size_t count = std::min<std::size_t>({data[1], kPayload, data.size() - 2});
  fromHost_.insert(fromHost_.end(), data.begin() + 2, data.begin() + 2 + static_cast<long>(count));
  fromHostDigest_.Add(data.subspan(2, count));
  Advance();
  return USBD_STATUS_SUCCESS;
}

std::optional<ULONG> UsbModem::BulkIn(UCHAR endpoint, std::span<BYTE> data) {
  if (endpoint != kIndicationEndpoint || faults_.silentIndication) return std::nullopt;
  if (indications_.empty()) {
    // Nothing waiting: not ready, unless the flag claims otherwise (then an empty answer).
    return faults_.stuckIndication ? std::optional<ULONG>(0) : std::nullopt;
  }
  const std::vector<BYTE>& message = indications_.front();
  std::size_t count = std::min(message.size(), data.size());
  std::copy(message.begin(), message.begin() + static_cast<long>(count), data.begin());
  indications_.pop_front();
  return static_cast<ULONG>(count);
}

bool UsbModem::BulkOut(UCHAR endpoint, std::span<const BYTE> data) {
  if (endpoint == kCommandEndpoint) Command(data);
  return true;
}

void UsbModem::Command(std::span<const BYTE> data) {
  if (commands_.size() == kCommandsKept) commands_.pop_front();
  commands_.emplace_back(data.begin(), data.end());
  if (data.size() < 9) return;
  if (data[0] == 0x88 && data[1] == 0x01) {
    line_.rate = data[2] | data[3] << 8 | data[4] << 16 | static_cast<ULONG>(data[5]) << 24;
    std::copy(data.begin() + 6, data.begin() + 9, line_.format);
  } else if (data[0] == 0x83 && data[1] == 0x02) {
    bool wasOn = line_.dtr;
    line_.dtr = data[2] != 0;
    line_.rts = data[3] != 0;
    // DTR dropped: the modem hangs up, leaves download mode and forgets a half-typed command.
    if (wasOn && !line_.dtr) firmware_.Reset();
    firmware_.SetRts(line_.rts);
    // DTR raised: the modem reports its flow settings; dropped: the next report is due when
    // DTR comes back.
    if (!wasOn && line_.dtr) ReportFlow();
    if (!line_.dtr) reportedFlow_.reset();
  }
}

// The flow control of &K for both directions, with the XON/XOFF characters; the modem keeps
// the host's XON/XOFF to itself.
void UsbModem::ReportFlow() {
  modem::Flow flow = firmware_.settings().flow;
  UCHAR hard = modem::Hardware(flow) ? 1 : 0;
  UCHAR soft = modem::Software(flow) ? 1 : 0;
  QueueIndication(
      FlowSettings(modem::Firmware::kXon, modem::Firmware::kXoff, soft, soft, 0, hard, hard));
  reportedFlow_ = flow;
}

}  // namespace sim::usbdevice
