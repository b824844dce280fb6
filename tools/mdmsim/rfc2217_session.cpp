#include "tools/mdmsim/rfc2217_session.h"

#include <cstring>
#include <utility>

#include "platform/net/rfc2217.h"

namespace mdmsim {
namespace {

namespace net = platform::net;
namespace rfc = platform::net::rfc2217;

bool Supported(BYTE option) {
  return option == net::kOptionBinary || option == net::kOptionSuppressGoAhead ||
         option == net::kOptionComPort;
}

BYTE ModemLines(HANDLE port) {
  DWORD status = 0;
  if (!GetCommModemStatus(port, &status)) return 0;
  return static_cast<BYTE>(status & 0xF0);  // the platform's MS_ bits are the wire's
}

}  // namespace

Rfc2217Session::Rfc2217Session(HANDLE port, std::string name)
    : port_(port), name_(std::move(name)), lastModem_(ModemLines(port)) {}

bool Rfc2217Session::FromClient(std::span<const BYTE> bytes, std::vector<BYTE>& toPort) {
  toPort_ = &toPort;
  bool good = reader_.Feed(bytes, *this);
  toPort_ = nullptr;
  return good;
}

void Rfc2217Session::FromPort(std::span<const BYTE> bytes) {
  net::AppendData(forClient_, bytes);
}

std::vector<BYTE> Rfc2217Session::TakeForClient() {
  return std::exchange(forClient_, {});
}

void Rfc2217Session::CheckModemState() {
  BYTE now = ModemLines(port_);
  if (now == lastModem_) return;
  BYTE state = rfc::ModemStateChange(lastModem_, now);
  lastModem_ = now;
  if ((state & modemMask_) != 0) Reply(rfc::kNotifyModemState, state & modemMask_);
}

void Rfc2217Session::OnData(std::span<const BYTE> bytes) {
  toPort_->insert(toPort_->end(), bytes.begin(), bytes.end());
}

// Agrees to what it supports and refuses the rest; an answer only where the state changes, so
// that two ends never answer each other for ever. Once the COM-port option is on, the client
// learns the modem lines at once: clients keep the last notified state and have none before.
void Rfc2217Session::OnNegotiation(BYTE verb, BYTE option) {
  bool wasOn = ComPortOptionOn();
  Negotiate(verb, option);
  if (!wasOn && ComPortOptionOn()) {
    Reply(rfc::kNotifyModemState, rfc::ModemStateChange(lastModem_, lastModem_));
  }
}

void Rfc2217Session::Negotiate(BYTE verb, BYTE option) {
  switch (verb) {
    case net::kWill:
      if (theirs_[option]) return;
      theirs_[option] = Supported(option);
      net::AppendNegotiation(forClient_, theirs_[option] ? net::kDo : net::kDont, option);
      return;
    case net::kWont:
      if (!std::exchange(theirs_[option], false)) return;
      net::AppendNegotiation(forClient_, net::kDont, option);
      return;
    case net::kDo:
      if (ours_[option]) return;
      ours_[option] = Supported(option);
      net::AppendNegotiation(forClient_, ours_[option] ? net::kWill : net::kWont, option);
      return;
    case net::kDont:
      if (!std::exchange(ours_[option], false)) return;
      net::AppendNegotiation(forClient_, net::kWont, option);
      return;
  }
}

void Rfc2217Session::OnSubnegotiation(BYTE option, std::span<const BYTE> payload) {
  if (option != net::kOptionComPort || !ComPortOptionOn() || payload.empty()) return;
  Command(payload[0], payload.subspan(1));
}

bool Rfc2217Session::ComPortOptionOn() const {
  return ours_[net::kOptionComPort] || theirs_[net::kOptionComPort];
}

void Rfc2217Session::Command(BYTE command, std::span<const BYTE> value) {
  switch (command) {
    case rfc::kSignature:
      // Without text the client asks for ours; with text it tells its own.
      if (value.empty()) {
        Reply(command, std::span(reinterpret_cast<const BYTE*>(name_.data()), name_.size()));
      }
      return;
    case rfc::kSetBaudRate:
    case rfc::kSetDataSize:
    case rfc::kSetParity:
    case rfc::kSetStopSize:
      return LineSetting(command, value);
    case rfc::kSetControl:
      if (value.size() == 1) Control(value[0]);
      return;
    case rfc::kNotifyModemState:
      return Reply(command, rfc::ModemStateChange(lastModem_, lastModem_));
    case rfc::kNotifyLineState:
      return Reply(command, BYTE{0});
    case rfc::kFlowControlSuspend:
      suspended_ = true;
      return;
    case rfc::kFlowControlResume:
      suspended_ = false;
      return;
    case rfc::kSetModemStateMask:
      if (value.size() != 1) return;
      modemMask_ = value[0];
      return Reply(command, value[0]);
    case rfc::kSetLineStateMask:
      // Taken, though no line-state change is ever notified: the port reports none.
      if (value.size() == 1) Reply(command, value[0]);
      return;
    case rfc::kPurgeData: {
      if (value.size() != 1 || value[0] < rfc::kPurgeReceive || value[0] > rfc::kPurgeBoth) return;
      DWORD flags = 0;
      if (value[0] & rfc::kPurgeReceive) flags |= PURGE_RXCLEAR;
      if (value[0] & rfc::kPurgeTransmit) flags |= PURGE_TXCLEAR;
      PurgeComm(port_, flags);
      return Reply(command, value[0]);
    }
    default:
      return;  // a command this server does not know is ignored, as the option allows
  }
}

// Baud rate, data size, parity and stop size: 0 asks, a value the port takes is set, anything
// else changes nothing; the answer carries the value in force.
void Rfc2217Session::LineSetting(BYTE command, std::span<const BYTE> value) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port_, &dcb)) return;
  DCB wanted = dcb;
  if (command == rfc::kSetBaudRate) {
    auto rate = rfc::Value32(value);
    if (!rate) return;
    if (*rate != 0) wanted.BaudRate = *rate;
  } else if (value.size() != 1) {
    return;
  } else if (command == rfc::kSetDataSize) {
    if (value[0] >= 5 && value[0] <= 8) wanted.ByteSize = value[0];
  } else if (command == rfc::kSetParity) {
    if (auto parity = rfc::ParityFromWire(value[0])) {
      wanted.Parity = *parity;
      wanted.fParity = *parity != NOPARITY;
    }
  } else if (auto stop = rfc::StopBitsFromWire(value[0])) {
    wanted.StopBits = *stop;
  }
  if (std::memcmp(&wanted, &dcb, sizeof(dcb)) != 0 && SetCommState(port_, &wanted)) dcb = wanted;
  switch (command) {
    case rfc::kSetBaudRate: {
      std::vector<BYTE> answer = rfc::WithValue32(command, dcb.BaudRate);
      return Reply(command, std::span(answer).subspan(1));
    }
    case rfc::kSetDataSize:
      return Reply(command, dcb.ByteSize);
    case rfc::kSetParity:
      return Reply(command, rfc::ParityToWire(dcb.Parity));
    default:
      return Reply(command, rfc::StopBitsToWire(dcb.StopBits));
  }
}

void Rfc2217Session::Control(BYTE value) {
  switch (value) {
    case rfc::kControlDtrOn:
    case rfc::kControlDtrOff:
      dtr_ = value == rfc::kControlDtrOn;
      EscapeCommFunction(port_, dtr_ ? SETDTR : CLRDTR);
      break;
    case rfc::kControlRtsOn:
    case rfc::kControlRtsOff:
      rts_ = value == rfc::kControlRtsOn;
      EscapeCommFunction(port_, rts_ ? SETRTS : CLRRTS);
      break;
    case rfc::kControlBreakOn:
    case rfc::kControlBreakOff:
      break_ = value == rfc::kControlBreakOn;
      EscapeCommFunction(port_, break_ ? SETBREAK : CLRBREAK);
      break;
    case rfc::kControlFlowNone:
    case rfc::kControlFlowXonXoff:
    case rfc::kControlFlowHardware:
    case rfc::kControlInboundNone:
    case rfc::kControlInboundXonXoff:
    case rfc::kControlInboundHardware: {
      DCB dcb{};
      dcb.DCBlength = sizeof(dcb);
      if (!GetCommState(port_, &dcb)) return;
      if (value <= rfc::kControlFlowHardware) {
        dcb.fOutX = value == rfc::kControlFlowXonXoff;
        dcb.fOutxCtsFlow = value == rfc::kControlFlowHardware;
      } else {
        dcb.fInX = value == rfc::kControlInboundXonXoff;
        dcb.fRtsControl =
            value == rfc::kControlInboundHardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
      }
      SetCommState(port_, &dcb);
      break;
    }
    case rfc::kControlRequestFlow:
    case rfc::kControlRequestBreak:
    case rfc::kControlRequestDtr:
    case rfc::kControlRequestRts:
    case rfc::kControlRequestInboundFlow:
      return Reply(rfc::kSetControl, ControlState(value));
    default:
      return;  // DCD, DTR and DSR flow control: not offered, so not answered
  }
  Reply(rfc::kSetControl, value);
}

// The answer to a request for a control state.
BYTE Rfc2217Session::ControlState(BYTE request) {
  switch (request) {
    case rfc::kControlRequestBreak:
      return break_ ? rfc::kControlBreakOn : rfc::kControlBreakOff;
    case rfc::kControlRequestDtr:
      return dtr_ ? rfc::kControlDtrOn : rfc::kControlDtrOff;
    case rfc::kControlRequestRts:
      return rts_ ? rfc::kControlRtsOn : rfc::kControlRtsOff;
    default:
      break;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(port_, &dcb);
  if (request == rfc::kControlRequestFlow) {
    if (dcb.fOutxCtsFlow) return rfc::kControlFlowHardware;
    return dcb.fOutX ? rfc::kControlFlowXonXoff : rfc::kControlFlowNone;
  }
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return rfc::kControlInboundHardware;
  return dcb.fInX ? rfc::kControlInboundXonXoff : rfc::kControlInboundNone;
}

void Rfc2217Session::Reply(BYTE command, std::span<const BYTE> value) {
  std::vector<BYTE> payload{static_cast<BYTE>(command + rfc::kServerOffset)};
  payload.insert(payload.end(), value.begin(), value.end());
  net::AppendSubnegotiation(forClient_, net::kOptionComPort, payload);
}

}  // namespace mdmsim
