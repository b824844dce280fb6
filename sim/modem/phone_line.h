// The telephone exchange that simulated modems dial through. Each modem registers a number and
// takes the events meant for it (an incoming call, the connection, the far side's data, the end
// of the call) from its own inbox when they are due: the line never calls into a modem, so a
// modem on the world thread takes its events on that thread, in its per-frame work, and a modem
// on a serial port takes them from a clock timer. Every event carries the virtual time at which
// it happens, fixed when it is queued, so a run does not depend on when a modem looks.
//
// Data crosses at the call's rate, ten bit times per byte: byte i of a burst arrives at
// `at + i * byteTime`, and a modem takes only the bytes that have arrived by now.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock/clock.h"

namespace sim::modem {

using Time = platform::clock::Time;

enum class LineEventKind {
  kRing,     // a call is offered (the modem rings until it answers or the caller gives up)
  kBusy,     // the number dialled is busy
  kConnect,  // the handshake is done: carrier on, data mode at `rate`
  kHangUp,   // the call (or the attempt) has ended: carrier off
  kData,     // bytes from the far modem
};

struct LineEvent {
  LineEventKind kind;
  Time at;
  std::uint32_t rate = 0;                   // kConnect
  std::vector<std::uint8_t> bytes = {};     // kData
  platform::clock::Duration byteTime = {};  // kData: the time each further byte takes
};

struct LineConfig {
  std::uint32_t rate = 33600;  // bit/s of a call unless a side is slower
  platform::clock::Duration dialTime = std::chrono::seconds(2);   // to ringing or busy
  platform::clock::Duration handshake = std::chrono::seconds(3);  // answer to CONNECT
  // Noise longer than this loses the carrier and ends the call.
  platform::clock::Duration carrierLoss = std::chrono::milliseconds(1400);
};

class PhoneLine {
 public:
  // Told the time of each event queued for a station, so that a modem that does not look at
  // every frame can schedule a look. Called without the line's lock held.
  using Wake = std::function<void(Time)>;

  explicit PhoneLine(LineConfig config = {}) : config_(config) {}
  const LineConfig& config() const { return config_; }

  // False when the number is taken already.
  bool Register(const std::string& number, Wake wake);
  // The station leaves the line; a call it is in ends now, as if it had hung up.
  void Unregister(const std::string& number, Time now);
  // The fastest rate this station's modem connects at (a call runs at the slower side's rate).
  void SetRate(const std::string& number, std::uint32_t rate);

  // `from` dials `to`. After the dial time the caller hears busy, or nothing at all (no such
  // number: it hangs up), or the callee starts ringing.
  void Dial(const std::string& from, const std::string& to, Time now);
  // The ringing station goes off hook: both sides connect after the handshake.
  void Answer(const std::string& number, Time now);
  // The station hangs up: its call (or attempt) ends now and the far side loses carrier.
  void HangUp(const std::string& number, Time now);
  // Bytes the station's modem puts on the line; the first arrives at firstArrival, the others
  // follow at the call's rate. Nothing arrives when there is no call in data mode.
  void Send(const std::string& from, std::span<const std::uint8_t> bytes, Time firstArrival);
  // The duration of one byte at the rate of the station's call (zero without a call).
  platform::clock::Duration ByteTime(const std::string& number);

  // Faults: the station's call drops at `at` (both sides lose carrier), or noise from `at` for
  // `length` garbles the bytes on the line; longer than the carrier-loss time, it ends the call.
  void DropAt(const std::string& number, Time at);
  void NoiseAt(const std::string& number, Time at, platform::clock::Duration length);

  // The station's events due by now, in order; data only as far as it has arrived.
  std::vector<LineEvent> Take(const std::string& number, Time now);
  std::optional<Time> NextEvent(const std::string& number);

 private:
  struct Call {
    std::string caller = {};
    std::string callee = {};
    std::uint32_t rate = 0;
    platform::clock::Duration byteTime{};
    std::optional<Time> connectedAt = {};
    std::optional<Time> endsAt = {};
    struct Noise {
      Time from;
      Time to;
    };
    std::vector<Noise> noise = {};
  };
  struct Station {
    Wake wake;
    std::uint32_t rate = 0;  // 0: the line's rate
    std::deque<LineEvent> inbox = {};
    std::shared_ptr<Call> call = {};
  };
  using Wakes = std::vector<std::pair<Wake, Time>>;

  Station* Find(const std::string& number);
  std::shared_ptr<Call> LiveCall(const std::string& number, Time now);
  void Queue(const std::string& number, LineEvent event, Wakes& wakes);
  void EndCall(Call& call, Time at, bool callerHears, bool calleeHears, Wakes& wakes);
  void Truncate(const std::string& number, Time at);
  static void Garble(LineEvent& event, std::span<const Call::Noise> noise);
  static void Run(const Wakes& wakes);

  const LineConfig config_;
  std::mutex mutex_;
  std::map<std::string, Station> stations_;
};

// A number on a phone line, given up when the modem goes (at the current clock's time).
class LineSeat {
 public:
  LineSeat(std::shared_ptr<PhoneLine> line, std::string number)
      : line_(std::move(line)), number_(std::move(number)) {}
  ~LineSeat() { line_->Unregister(number_, platform::clock::Current().Now()); }
  LineSeat(const LineSeat&) = delete;
  LineSeat& operator=(const LineSeat&) = delete;
  PhoneLine& line() const { return *line_; }
  const std::string& number() const { return number_; }

 private:
  std::shared_ptr<PhoneLine> line_;
  std::string number_;
};

}  // namespace sim::modem
