// Calls and data mode: ringing and answering, the connection, the host's bytes paced onto the
// line through a transmit buffer with flow control towards the host, the far side's bytes
// handed to the host when it may take them, and the escape back to command mode.
#include <algorithm>

#include "sim/modem/firmware.h"

namespace sim::modem {

Time Firmware::Now() const {
  return platform::clock::Current().Now();
}

bool Firmware::PlugIntoLine(std::shared_ptr<PhoneLine> line, std::string number,
                            PhoneLine::Wake wake) {
  if (!line->Register(number, std::move(wake))) return false;
  seat_ = std::make_unique<LineSeat>(std::move(line), std::move(number));
  return true;
}

void Firmware::Advance(std::vector<Output>& out) {
  Time now = Now();
  TakeLineEvents(now, out);
  RunTimers(now, out);
  UpdateFlow(now, out);
  ReleaseToHost(out);
}

std::optional<Time> Firmware::NextDeadline() const {
  Time now = Now();
  std::optional<Time> next = seat_ ? seat_->line().NextEvent(seat_->number()) : std::nullopt;
  auto consider = [&](Time at) {
    if (at > now && (!next || at < *next)) next = at;
  };
  if (call_.state == CallState::kRinging) {
    consider(call_.nextRing);
    consider(call_.ringOff);
  }
  if (call_.state == CallState::kDialing) consider(call_.deadline);
  if (escapeCount_ == 3) consider(escapeEnds_);
  if (transmitFull_ && departures_.size() > kLowWater) {
    consider(departures_[departures_.size() - kLowWater - 1]);
  }
  return next;
}

LineState Firmware::lineState() const {
  return {.cts = !Hardware(settings_.flow) || !transmitFull_,
          .ring = call_.state == CallState::kRinging && Now() < call_.ringOff,
          .dcd = call_.state == CallState::kConnected};
}

std::size_t Firmware::transmitLevel() const {
  Time now = Now();
  return static_cast<std::size_t>(departures_.end() -
                                  std::upper_bound(departures_.begin(), departures_.end(), now));
}

// Every byte takes its turn on the line after those before it; a byte that finds the transmit
// buffer full is lost. Under XON/XOFF the host's XON and XOFF are flow control, not data.
void Firmware::ReceiveOnline(std::span<const std::uint8_t> bytes, std::vector<Output>& out) {
  if (bytes.empty()) return;
  Time now = Now();
  std::size_t level = Level(now);
  Time leaves = departures_.empty() ? now : std::max(now, departures_.back());
  std::vector<std::uint8_t> burst;
  Time first{};
  for (std::uint8_t byte : bytes) {
    if (Software(settings_.flow) && (byte == kXon || byte == kXoff)) {
      hostXoff_ = byte == kXoff;
      continue;
    }
    Escape(byte, now);
    if (level >= kTransmitBuffer) {
      ++overruns_;
      continue;
    }
    leaves += call_.byteTime;
    departures_.push_back(leaves);
    ++level;
    if (burst.empty()) first = leaves;
    burst.push_back(byte);
  }
  if (!burst.empty()) seat_->line().Send(seat_->number(), burst, first);
  UpdateFlow(now, out);
}

// Three escape characters with a guard time of silence before the first, less than a guard
// time between them, and a guard time of silence after the third (checked in RunTimers). They
// still go to the far side, as any data.
void Firmware::Escape(std::uint8_t byte, Time now) {
  auto guard = std::chrono::milliseconds(20) * settings_.s[12];
  bool quietBefore = now - lastHostByte_ >= guard;
  bool next = escapeCount_ == 0 ? quietBefore : escapeCount_ < 3 && !quietBefore;
  if (byte == settings_.s[2] && next) {
    if (++escapeCount_ == 3) escapeEnds_ = now + guard;
  } else {
    escapeCount_ = 0;
  }
  lastHostByte_ = now;
}

void Firmware::TakeLineEvents(Time now, std::vector<Output>& out) {
  if (!seat_) return;
  for (const LineEvent& event : seat_->line().Take(seat_->number(), now)) {
    OnLineEvent(event, now, out);
  }
}

void Firmware::OnLineEvent(const LineEvent& event, Time now, std::vector<Output>& out) {
  switch (event.kind) {
    case LineEventKind::kRing:
      if (call_.state != CallState::kIdle) return;
      call_ = Call{.state = CallState::kRinging, .nextRing = event.at};
      return;
    case LineEventKind::kBusy:
      if (call_.state == CallState::kDialing) EndCall(Result::kBusy, out);
      return;
    case LineEventKind::kHangUp:
      // A caller that gives up stops the ringing; nothing is said.
      if (call_.state == CallState::kRinging) call_ = {};
      if (call_.state != CallState::kIdle) EndCall(Result::kNoCarrier, out);
      return;
    case LineEventKind::kConnect:
      if (call_.state != CallState::kDialing && call_.state != CallState::kAnswering) return;
      call_.state = CallState::kConnected;
      call_.rate = event.rate;
      call_.byteTime = std::chrono::nanoseconds(10 * 1'000'000'000LL / event.rate);
      mode_ = Mode::kOnline;
      escapeCount_ = 0;
      lastHostByte_ = now;
      Report(Result::kConnect, out);
      return;
    case LineEventKind::kData:
      if (call_.state == CallState::kConnected) {
        forHost_.insert(forHost_.end(), event.bytes.begin(), event.bytes.end());
      }
      return;
  }
}

void Firmware::RunTimers(Time now, std::vector<Output>& out) {
  while (call_.state == CallState::kRinging && call_.nextRing <= now) Ring(now, out);
  if (call_.state == CallState::kDialing && now >= call_.deadline) {
    HangUp();
    Report(Result::kNoAnswer, out);
  }
  if (escapeCount_ == 3 && now >= escapeEnds_ && mode_ == Mode::kOnline) {
    escapeCount_ = 0;
    mode_ = Mode::kCommand;
    Report(Result::kOk, out);
  }
}

// RING every ring cycle, with the ring indicator on for the first part of it; S0 rings answer
// the call when S0 is set.
void Firmware::Ring(Time now, std::vector<Output>& out) {
  Report(Result::kRing, out);
  ++call_.rings;
  call_.ringOff = call_.nextRing + kRingOn;
  call_.nextRing += kRingCycle;
  if (settings_.s[0] > 0 && call_.rings >= settings_.s[0]) AnswerCall(now);
}

void Firmware::AnswerCall(Time now) {
  seat_->line().Answer(seat_->number(), now);
  call_.state = CallState::kAnswering;
}

// The line ended the call (or never made it): the modem says so and is back in command mode.
void Firmware::EndCall(Result result, std::vector<Output>& out) {
  HangUp();
  Report(result, out);
}

// Goes on hook: the far side hears the carrier go, and what was on its way is dropped.
void Firmware::HangUp() {
  if (call_.state == CallState::kIdle) return;
  if (seat_) seat_->line().HangUp(seat_->number(), Now());
  call_ = {};
  if (mode_ == Mode::kOnline) mode_ = Mode::kCommand;
  escapeCount_ = 0;
  departures_.clear();
  transmitFull_ = false;
  hostXoff_ = false;
  forHost_.clear();
}

// Bytes still waiting for the line at `now`.
std::size_t Firmware::Level(Time now) {
  while (!departures_.empty() && departures_.front() <= now) departures_.pop_front();
  return departures_.size();
}

// The transmit buffer fills from the high water mark and drains to the low one before the
// host may send again: CTS under RTS/CTS (lineState), XOFF and XON under XON/XOFF.
void Firmware::UpdateFlow(Time now, std::vector<Output>& out) {
  std::size_t level = Level(now);
  bool full = transmitFull_ ? level > kLowWater : level >= kHighWater;
  if (full == transmitFull_) return;
  transmitFull_ = full;
  if (full) ++flowStops_;
  if (Software(settings_.flow)) out.push_back({Duration::zero(), {full ? kXoff : kXon}});
}

// The far side's bytes go to the host in data mode while it lets them: RTS on under RTS/CTS, no
// XOFF under XON/XOFF. Meanwhile (and in command mode after an escape) they wait in the modem.
void Firmware::ReleaseToHost(std::vector<Output>& out) {
  if (forHost_.empty() || mode_ != Mode::kOnline) return;
  if (Hardware(settings_.flow) && !rts_) return;
  if (Software(settings_.flow) && hostXoff_) return;
  out.push_back({Duration::zero(), std::move(forHost_)});
  forHost_.clear();
}

void Firmware::Report(Result result, std::vector<Output>& out) const {
  std::string code = Code(result);
  if (!code.empty()) out.push_back({Duration::zero(), {code.begin(), code.end()}});
}

}  // namespace sim::modem
