#include "platform/net/telnet.h"

namespace platform::net {

bool TelnetReader::Feed(std::span<const BYTE> bytes, TelnetSink& sink) {
  std::vector<BYTE> data;
  for (BYTE byte : bytes) {
    if (state_ == State::kBroken) break;
    if (!Take(byte, sink, data)) state_ = State::kBroken;
  }
  // Data goes out in runs, before whatever command ends a run and at the end of the chunk.
  if (!data.empty()) sink.OnData(data);
  return state_ != State::kBroken;
}

bool TelnetReader::Take(BYTE byte, TelnetSink& sink, std::vector<BYTE>& data) {
  auto flush = [&] {
    if (data.empty()) return;
    sink.OnData(data);
    data.clear();
  };
  switch (state_) {
    case State::kData:
      if (byte == kIac) {
        state_ = State::kCommand;
      } else {
        data.push_back(byte);
      }
      return true;
    case State::kCommand:
      state_ = State::kData;
      if (byte == kIac) {
        data.push_back(byte);
      } else if (byte >= kWill) {
        verb_ = byte;
        state_ = State::kOption;
      } else if (byte == kSb) {
        state_ = State::kSubOption;
      }
      return true;  // any other command has no argument and means nothing here
    case State::kOption:
      flush();
      sink.OnNegotiation(verb_, byte);
      state_ = State::kData;
      return true;
    case State::kSubOption:
      subOption_ = byte;
      payload_.clear();
      state_ = State::kSubData;
      return true;
    case State::kSubData:
      if (byte == kIac) {
        state_ = State::kSubCommand;
        return true;
      }
      payload_.push_back(byte);
      return payload_.size() <= kMaxPayload;
    case State::kSubCommand:
      if (byte == kIac) {
        payload_.push_back(byte);
        state_ = State::kSubData;
        return payload_.size() <= kMaxPayload;
      }
      if (byte != kSe) return false;
      flush();
      sink.OnSubnegotiation(subOption_, payload_);
      state_ = State::kData;
      return true;
    case State::kBroken:
      return false;
  }
  return false;
}

void AppendData(std::vector<BYTE>& out, std::span<const BYTE> bytes) {
  for (BYTE byte : bytes) {
    out.push_back(byte);
    if (byte == kIac) out.push_back(kIac);
  }
}

void AppendNegotiation(std::vector<BYTE>& out, BYTE verb, BYTE option) {
  out.insert(out.end(), {kIac, verb, option});
}

void AppendSubnegotiation(std::vector<BYTE>& out, BYTE option, std::span<const BYTE> payload) {
  out.insert(out.end(), {kIac, kSb, option});
  AppendData(out, payload);
  out.insert(out.end(), {kIac, kSe});
}

}  // namespace platform::net
