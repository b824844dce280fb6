#include "sim/modem/phone_line.h"

#include <algorithm>

namespace sim::modem {
namespace {

constexpr std::int64_t kBitsPerByte = 10;  // start, eight data bits, stop

platform::clock::Duration ByteTimeAt(std::uint32_t rate) {
  return std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000LL / rate);
}

// How many of the burst's bytes have arrived by `at`.
std::size_t ArrivedBy(const LineEvent& event, Time at) {
  if (at < event.at) return 0;
  if (event.byteTime <= platform::clock::Duration::zero()) return event.bytes.size();
  auto count = static_cast<std::size_t>((at - event.at) / event.byteTime) + 1;
  return std::min(count, event.bytes.size());
}

}  // namespace

bool PhoneLine::Register(const std::string& number, Wake wake) {
  std::lock_guard lock(mutex_);
  return stations_.try_emplace(number, Station{std::move(wake)}).second;
}

void PhoneLine::Unregister(const std::string& number, Time now) {
  HangUp(number, now);
  std::lock_guard lock(mutex_);
  stations_.erase(number);
}

void PhoneLine::SetRate(const std::string& number, std::uint32_t rate) {
  std::lock_guard lock(mutex_);
  if (Station* station = Find(number)) station->rate = rate;
}

PhoneLine::Station* PhoneLine::Find(const std::string& number) {
  auto it = stations_.find(number);
  return it == stations_.end() ? nullptr : &it->second;
}

// The station's call if it has not ended by now (ringing, connecting or connected).
std::shared_ptr<PhoneLine::Call> PhoneLine::LiveCall(const std::string& number, Time now) {
  Station* station = Find(number);
  if (station == nullptr || !station->call) return nullptr;
  if (station->call->endsAt && *station->call->endsAt <= now) return nullptr;
  return station->call;
}

void PhoneLine::Dial(const std::string& from, const std::string& to, Time now) {
  Wakes wakes;
  {
    std::lock_guard lock(mutex_);
    Station* caller = Find(from);
    if (caller == nullptr) return;
    auto call = std::make_shared<Call>(Call{.caller = from, .callee = to});
    caller->call = call;
    Time at = now + config_.dialTime;
    Station* callee = Find(to);
    if (callee == nullptr || to == from || LiveCall(to, now)) {
      // Nobody there hangs up on the caller; a station in another call is busy.
      call->endsAt = at;
      bool busy = callee != nullptr;
      Queue(from, {busy ? LineEventKind::kBusy : LineEventKind::kHangUp, at}, wakes);
    } else {
      std::uint32_t rate = config_.rate;
      if (caller->rate != 0) rate = std::min(rate, caller->rate);
      if (callee->rate != 0) rate = std::min(rate, callee->rate);
      call->rate = rate;
      call->byteTime = ByteTimeAt(rate);
      callee->call = call;
      Queue(to, {LineEventKind::kRing, at}, wakes);
    }
  }
  Run(wakes);
}

void PhoneLine::Answer(const std::string& number, Time now) {
  Wakes wakes;
  {
    std::lock_guard lock(mutex_);
    auto call = LiveCall(number, now);
    if (!call || call->callee != number || call->connectedAt) return;
    call->connectedAt = now + config_.handshake;
    for (const std::string* side : {&call->caller, &call->callee}) {
      Queue(*side, {LineEventKind::kConnect, *call->connectedAt, call->rate}, wakes);
    }
  }
  Run(wakes);
}

void PhoneLine::HangUp(const std::string& number, Time now) {
  Wakes wakes;
  {
    std::lock_guard lock(mutex_);
    if (auto call = LiveCall(number, now)) {
      EndCall(*call, now, call->caller != number, call->callee != number, wakes);
    }
  }
  Run(wakes);
}

void PhoneLine::Send(const std::string& from, std::span<const std::uint8_t> bytes,
                     Time firstArrival) {
  Wakes wakes;
  {
    std::lock_guard lock(mutex_);
    auto call = LiveCall(from, firstArrival);
    if (!call || !call->connectedAt || bytes.empty()) return;
    LineEvent event{
        LineEventKind::kData, firstArrival, 0, {bytes.begin(), bytes.end()}, call->byteTime};
    // What would arrive after the call has ended is lost with the carrier.
    if (call->endsAt) event.bytes.resize(ArrivedBy(event, *call->endsAt));
    Garble(event, call->noise);
    if (!event.bytes.empty()) {
      Queue(call->caller == from ? call->callee : call->caller, std::move(event), wakes);
    }
  }
  Run(wakes);
}

platform::clock::Duration PhoneLine::ByteTime(const std::string& number) {
  std::lock_guard lock(mutex_);
  Station* station = Find(number);
  return station && station->call ? station->call->byteTime : platform::clock::Duration{};
}

void PhoneLine::DropAt(const std::string& number, Time at) {
  Wakes wakes;
  {
    std::lock_guard lock(mutex_);
    Station* station = Find(number);
    if (station != nullptr && station->call) EndCall(*station->call, at, true, true, wakes);
  }
  Run(wakes);
}

void PhoneLine::NoiseAt(const std::string& number, Time at, platform::clock::Duration length) {
  Wakes wakes;
  {
    std::lock_guard lock(mutex_);
    Station* station = Find(number);
    if (station == nullptr || !station->call) return;
    Call& call = *station->call;
    call.noise.push_back({at, at + length});
    for (const std::string* side : {&call.caller, &call.callee}) {
      if (Station* other = Find(*side)) {
        for (LineEvent& event : other->inbox) Garble(event, std::span(&call.noise.back(), 1));
      }
    }
    if (length >= config_.carrierLoss) EndCall(call, at + config_.carrierLoss, true, true, wakes);
  }
  Run(wakes);
}

std::vector<LineEvent> PhoneLine::Take(const std::string& number, Time now) {
  std::lock_guard lock(mutex_);
  std::vector<LineEvent> due;
  Station* station = Find(number);
  if (station == nullptr) return due;
  auto& inbox = station->inbox;
  while (!inbox.empty() && inbox.front().at <= now) {
    LineEvent& front = inbox.front();
    std::size_t arrived = ArrivedBy(front, now);
    if (front.kind == LineEventKind::kData && arrived < front.bytes.size()) {
      // The rest of the burst is still on the line: its next byte arrives one byte time on.
      auto split = front.bytes.begin() + static_cast<std::ptrdiff_t>(arrived);
      due.push_back({front.kind, front.at, 0, {front.bytes.begin(), split}, front.byteTime});
      front.bytes.erase(front.bytes.begin(), split);
      front.at += front.byteTime * static_cast<std::int64_t>(arrived);
      break;
    }
    due.push_back(std::move(front));
    inbox.pop_front();
  }
  return due;
}

std::optional<Time> PhoneLine::NextEvent(const std::string& number) {
  std::lock_guard lock(mutex_);
  Station* station = Find(number);
  if (station == nullptr || station->inbox.empty()) return std::nullopt;
  return station->inbox.front().at;
}

// Events stay in time order; of two at the same time, the one queued first comes first.
void PhoneLine::Queue(const std::string& number, LineEvent event, Wakes& wakes) {
  Station* station = Find(number);
  if (station == nullptr) return;
  auto& inbox = station->inbox;
  auto later = std::upper_bound(inbox.begin(), inbox.end(), event.at,
                                [](Time at, const LineEvent& queued) { return at < queued.at; });
  if (station->wake) wakes.emplace_back(station->wake, event.at);
  inbox.insert(later, std::move(event));
}

// The call ends at `at`: whatever either side would have heard after it never comes, and the
// sides that did not hang up themselves hear the carrier go.
void PhoneLine::EndCall(Call& call, Time at, bool callerHears, bool calleeHears, Wakes& wakes) {
  if (call.endsAt && *call.endsAt <= at) return;
  call.endsAt = at;
  Truncate(call.caller, at);
  Truncate(call.callee, at);
  if (callerHears) Queue(call.caller, {LineEventKind::kHangUp, at}, wakes);
  if (calleeHears) Queue(call.callee, {LineEventKind::kHangUp, at}, wakes);
}

void PhoneLine::Truncate(const std::string& number, Time at) {
  Station* station = Find(number);
  if (station == nullptr) return;
  auto& inbox = station->inbox;
  for (LineEvent& event : inbox) {
    if (event.kind == LineEventKind::kData) event.bytes.resize(ArrivedBy(event, at));
  }
  std::erase_if(inbox, [at](const LineEvent& event) {
    return event.at > at || (event.kind == LineEventKind::kData && event.bytes.empty());
  });
}

// Noise turns the bytes it hits into others; the receiving modem passes them on as they are.
void PhoneLine::Garble(LineEvent& event, std::span<const Call::Noise> noise) {
  if (event.kind != LineEventKind::kData) return;
  for (std::size_t i = 0; i < event.bytes.size(); ++i) {
    Time arrival = event.at + event.byteTime * static_cast<std::int64_t>(i);
    for (const Call::Noise& burst : noise) {
      if (arrival >= burst.from && arrival < burst.to) event.bytes[i] ^= 0x5A;
    }
  }
}

void PhoneLine::Run(const Wakes& wakes) {
  for (const auto& [wake, at] : wakes) wake(at);
}

}  // namespace sim::modem
