#include "platform/net/rfc2217_client.h"

namespace platform::net::rfc2217 {
namespace {

// Options the client does itself and wants the server to do.
bool Wanted(BYTE option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

// Options without which the port cannot work: refusing one of them fails the port.
bool Required(BYTE option) {
  return option == kOptionBinary || option == kOptionComPort;
}

}  // namespace

Slot SlotOf(BYTE command, BYTE value) {
  switch (command) {
    case kSetBaudRate:
      return Slot::kRate;
    case kSetDataSize:
      return Slot::kDataSize;
    case kSetParity:
      return Slot::kParity;
    case kSetStopSize:
      return Slot::kStopSize;
    case kPurgeData:
      return Slot::kPurge;
    default:
      break;
  }
  if (value <= kControlFlowHardware) return Slot::kFlow;
  if (value <= kControlBreakOff) return Slot::kBreak;
  if (value <= kControlDtrOff) return Slot::kDtr;
  if (value <= kControlRtsOff) return Slot::kRts;
  if (value <= kControlInboundHardware) return Slot::kInboundFlow;
  return Slot::kFlow;  // DCD, DTR and DSR flow control: outbound kinds
}

void ClientStream::Greet(std::vector<BYTE>& out) {
  AppendNegotiation(out, kWill, kOptionComPort);
  askedOurs_[kOptionComPort] = true;
  for (BYTE option : {kOptionBinary, kOptionSuppressGoAhead}) {
    AppendNegotiation(out, kWill, option);
    AppendNegotiation(out, kDo, option);
    askedOurs_[option] = askedTheirs_[option] = true;
  }
}

bool ClientStream::Feed(std::span<const BYTE> bytes, ClientSink& sink, std::vector<BYTE>& replies) {
  sink_ = &sink;
  replies_ = &replies;
  bool good = reader_.Feed(bytes, *this);
  sink_ = nullptr;
  replies_ = nullptr;
  return good;
}

bool ClientStream::Ready() const {
  return (ours_[kOptionComPort] || theirs_[kOptionComPort]) && ours_[kOptionBinary] &&
         theirs_[kOptionBinary];
}

void ClientStream::OnData(std::span<const BYTE> bytes) {
  sink_->OnData(bytes);
}

// An answer goes out only where the state changes, and none to the answer of the client's own
// question, so that the two ends never answer each other for ever.
void ClientStream::OnNegotiation(BYTE verb, BYTE option) {
  bool theirSide = verb == kWill || verb == kWont;
  bool on = verb == kWill || verb == kDo;
  auto& state = theirSide ? theirs_ : ours_;
  auto& asked = theirSide ? askedTheirs_ : askedOurs_;
  bool wasAsked = asked[option];
  asked[option] = false;
  if (on && !Wanted(option)) {
    AppendNegotiation(*replies_, theirSide ? kDont : kWont, option);
    return;
  }
  if (!on && Required(option) && (wasAsked || state[option])) refused_ = true;
  if (on == state[option]) return;
  state[option] = on;
  if (!wasAsked) {
    BYTE reply = theirSide ? (on ? kDo : kDont) : (on ? kWill : kWont);
    AppendNegotiation(*replies_, reply, option);
  }
}

void ClientStream::OnSubnegotiation(BYTE option, std::span<const BYTE> payload) {
  if (option != kOptionComPort || payload.empty() || payload[0] < kServerOffset) return;
  ServerCommand(static_cast<BYTE>(payload[0] - kServerOffset), payload.subspan(1));
}

// A malformed answer (a wrong length) is passed over, as a command the client did not send.
void ClientStream::ServerCommand(BYTE command, std::span<const BYTE> value) {
  if (command == kSetBaudRate) {
    if (auto rate = Value32(value)) sink_->OnAnswer(Slot::kRate, *rate);
    return;
  }
  if (value.size() != 1) return;
  switch (command) {
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
    case kSetControl:
    case kPurgeData:
      return sink_->OnAnswer(SlotOf(command, value[0]), value[0]);
    case kNotifyModemState:
      return sink_->OnModemState(value[0] & 0xF0);
    case kNotifyLineState:
      return sink_->OnLineState(value[0]);
    default:
      return;  // signature, masks, flow-control suspend and resume: nothing the port uses
  }
}

void AppendCommand(std::vector<BYTE>& out, BYTE command, std::span<const BYTE> value) {
  std::vector<BYTE> payload{command};
  payload.insert(payload.end(), value.begin(), value.end());
  AppendSubnegotiation(out, kOptionComPort, payload);
}

}  // namespace platform::net::rfc2217
