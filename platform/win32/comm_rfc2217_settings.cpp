#include "platform/win32/comm_rfc2217_settings.h"

namespace platform::win32::rfc2217_settings {

namespace rfc = platform::net::rfc2217;

namespace {

// The DCB's flow-control fields as SET-CONTROL values.
BYTE OutboundFlow(const DCB& dcb) {
  if (dcb.fOutxCtsFlow) return rfc::kControlFlowHardware;
  return dcb.fOutX ? rfc::kControlFlowXonXoff : rfc::kControlFlowNone;
}

BYTE InboundFlow(const DCB& dcb) {
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return rfc::kControlInboundHardware;
  return dcb.fInX ? rfc::kControlInboundXonXoff : rfc::kControlInboundNone;
}

std::optional<std::uint32_t> AnswerIn(const Answers& answers, Slot slot) {
  return answers[static_cast<std::size_t>(slot)];
}

}  // namespace

DWORD ReceiveErrors(BYTE state) {
  DWORD errors = 0;
  if (state & rfc::kLineOverrun) errors |= CE_OVERRUN;
  if (state & rfc::kLineParity) errors |= CE_RXPARITY;
  if (state & rfc::kLineFraming) errors |= CE_FRAME;
  if (state & rfc::kLineBreak) errors |= CE_BREAK;
  return errors;
}

Request Ask(BYTE command, BYTE value) {
  return {command, {value}};
}

Request AskRate(std::uint32_t rate) {
  std::vector<BYTE> payload = rfc::WithValue32(rfc::kSetBaudRate, rate);
  return {rfc::kSetBaudRate, {payload.begin() + 1, payload.end()}};
}

Slot SlotOf(const Request& request) {
  return rfc::SlotOf(request.command, request.value.empty() ? 0 : request.value[0]);
}

bool Granted(const Answers& answers, const Request& request) {
  auto answer = AnswerIn(answers, SlotOf(request));
  if (!answer) return true;
  auto asked = request.command == rfc::kSetBaudRate
                   ? rfc::Value32(request.value)
                   : std::optional<std::uint32_t>(request.value[0]);
  return *answer == asked;
}

DCB InForce(DCB dcb, const Answers& answers) {
  if (auto rate = AnswerIn(answers, Slot::kRate); rate && *rate != 0) dcb.BaudRate = *rate;
  if (auto size = AnswerIn(answers, Slot::kDataSize); size && *size >= 5 && *size <= 8) {
    dcb.ByteSize = static_cast<BYTE>(*size);
  }
  if (auto wire = AnswerIn(answers, Slot::kParity)) {
    if (auto parity = rfc::ParityFromWire(static_cast<BYTE>(*wire))) {
      dcb.Parity = *parity;
      dcb.fParity = *parity != NOPARITY;
    }
  }
  if (auto wire = AnswerIn(answers, Slot::kStopSize)) {
    if (auto stop = rfc::StopBitsFromWire(static_cast<BYTE>(*wire))) dcb.StopBits = *stop;
  }
  if (auto flow = AnswerIn(answers, Slot::kFlow)) {
    dcb.fOutxCtsFlow = *flow == rfc::kControlFlowHardware;
    dcb.fOutX = *flow == rfc::kControlFlowXonXoff;
  }
  if (auto flow = AnswerIn(answers, Slot::kInboundFlow)) {
    dcb.fInX = *flow == rfc::kControlInboundXonXoff;
    bool hardware = *flow == rfc::kControlInboundHardware;
    if (hardware) dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    if (!hardware && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
  }
  return dcb;
}

std::vector<Request> StateRequests(const DCB& dcb) {
  std::vector<Request> requests;
  requests.push_back(Ask(rfc::kSetControl, dcb.fDtrControl == DTR_CONTROL_DISABLE
                                               ? rfc::kControlDtrOff
                                               : rfc::kControlDtrOn));
  if (dcb.fRtsControl != RTS_CONTROL_TOGGLE) {
    requests.push_back(Ask(rfc::kSetControl, dcb.fRtsControl == RTS_CONTROL_DISABLE
                                                 ? rfc::kControlRtsOff
                                                 : rfc::kControlRtsOn));
  }
  requests.push_back(Ask(rfc::kSetControl, OutboundFlow(dcb)));
  requests.push_back(Ask(rfc::kSetControl, InboundFlow(dcb)));
  requests.push_back(Ask(rfc::kSetDataSize, dcb.ByteSize));
  requests.push_back(Ask(rfc::kSetParity, rfc::ParityToWire(dcb.Parity)));
  requests.push_back(Ask(rfc::kSetStopSize, rfc::StopBitsToWire(dcb.StopBits)));
  requests.push_back(AskRate(dcb.BaudRate));
  return requests;
}

std::vector<Request> OpeningRequests() {
  return {Ask(rfc::kSetControl, rfc::kControlDtrOn),
          Ask(rfc::kSetControl, rfc::kControlRtsOn),
          Ask(rfc::kSetControl, rfc::kControlRequestFlow),
          Ask(rfc::kSetControl, rfc::kControlRequestInboundFlow),
          {rfc::kNotifyModemState, {}},
          Ask(rfc::kSetDataSize, 0),
          Ask(rfc::kSetParity, 0),
          Ask(rfc::kSetStopSize, 0),
          AskRate(0)};
}

}  // namespace platform::win32::rfc2217_settings
