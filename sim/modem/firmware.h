// The modem's firmware as its serial side shows it: the AT dialogue of command mode, the calls
// it places and carries over a PhoneLine, and the download mode that the update enters. It is a
// state machine over byte streams, so the same firmware sits behind an in-process COM port and
// behind the USB device model: it takes the host's bytes and answers with timed chunks that the
// carrier delivers. What happens by itself (a ring, the far side's data, a guard time running
// out) happens in Advance, which the carrier calls at NextDeadline or more often; time is the
// current clock's.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/modem/flash.h"
#include "sim/modem/hayes.h"
#include "sim/modem/output.h"
#include "sim/modem/phone_line.h"
#include "sim/modem/zmodem_receiver.h"

namespace sim::modem {

// How a simulated modem behaves, for the situations the host software must handle.
struct Behaviour {
  bool hasModemCode = true;  // identifies as holding modem code, or as a bare boot loader
  bool silent = false;       // answers nothing at all, not even the echo
  Duration answerDelay = std::chrono::milliseconds(20);  // from a command's end to its answer
  // When set, the echo comes at once and the answer this long after it (two bursts).
  Duration burstGap = Duration::zero();
  std::string extraText = {};  // sent before every answer (other output of the device)
  // What the modem answers when asked for download mode: the prompt, other text (it stays in
  // command mode), or nothing (empty: it hangs and says nothing more until DTR drops).
  std::string downloadAnswer = ">>>";
  // How the image download answers, and its faults (the text above is for command mode only).
  ZmodemBehaviour zmodem = {};
};

// kOnline: data mode of a call, the host's bytes go to the far modem.
enum class Mode { kCommand, kDownload, kOnline };

enum class CallState { kIdle, kDialing, kRinging, kAnswering, kConnected };

// Flow control between the modem and its host (&K): none, RTS/CTS, XON/XOFF, or both at once.
enum class Flow { kNone = 0, kRtsCts = 3, kXonXoff = 4, kBoth = 5 };
inline bool Hardware(Flow flow) {
  return flow == Flow::kRtsCts || flow == Flow::kBoth;
}
inline bool Software(Flow flow) {
  return flow == Flow::kXonXoff || flow == Flow::kBoth;
}

// The settings the AT commands change; Z and &F bring back these defaults.
struct Settings {
  bool echo = true;
  bool verbose = true;
  bool quiet = false;
  Flow flow = Flow::kRtsCts;
  // S0 rings before auto-answer, S2 escape character, S7 seconds to wait for carrier after
  // dialling, S12 guard time of the escape in fiftieths of a second.
  std::array<int, 100> s = [] {
    std::array<int, 100> registers{};
    registers[2] = '+';
    registers[3] = '\r';
    registers[4] = '\n';
    registers[5] = 8;
    registers[7] = 50;
    registers[12] = 50;
    return registers;
  }();
};

// The modem's side of the RS-232 lines that depend on the firmware.
struct LineState {
  bool cts = true;    // clear to send: off while the transmit buffer is full under RTS/CTS
  bool ring = false;  // ring indicator, on for the first two seconds of every ring cycle
  bool dcd = false;   // carrier detect
};

class Firmware {
 public:
  static constexpr const char* kIdentWithCode = "USB high power, bus-powered function";
  static constexpr const char* kIdentWithoutCode = "USB no modem code";
  static constexpr const char* kPrompt = ">>>";
  static constexpr std::size_t kTransmitBuffer = 2048;  // host bytes waiting for the line
  static constexpr std::size_t kHighWater = 1536;       // CTS off or XOFF from here
  static constexpr std::size_t kLowWater = 512;         // CTS on or XON again from here
  static constexpr std::uint8_t kXon = 0x11;
  static constexpr std::uint8_t kXoff = 0x13;
  static constexpr platform::clock::Duration kRingCycle = std::chrono::seconds(6);
  static constexpr platform::clock::Duration kRingOn = std::chrono::seconds(2);

  explicit Firmware(Behaviour behaviour = {});

  // Takes bytes from the host and appends what the modem sends back.
  void Receive(std::span<const std::uint8_t> bytes, std::vector<Output>& out);

  Mode mode() const { return mode_; }
  const Behaviour& behaviour() const { return behaviour_; }
  Behaviour& behaviour() { return behaviour_; }
  // What the host sent in download mode, all of it (the ZModem receiver reads it as it comes).
  const std::vector<std::uint8_t>& downloadBytes() const { return download_; }
  const ZmodemReceiver& zmodem() const { return zmodem_; }
  // The image the last download wrote, with the file information that came with it.
  const Flash& flash() const { return zmodem_.flash(); }
  // Every request for download mode, as the host spelled it ("at@d" or "x").
  const std::vector<std::string>& downloadRequests() const { return downloadRequests_; }

  // DTR dropped: the modem leaves download mode (and a transfer in progress), hangs up a call
  // and forgets a half-typed command.
  void Reset();

  // Registers the modem's number on the line (false: the number is taken). wake is told when
  // something for this modem will happen on the line (see PhoneLine::Wake).
  bool PlugIntoLine(std::shared_ptr<PhoneLine> line, std::string number, PhoneLine::Wake wake = {});
  // Does what is due by now and appends what the modem sends to the host.
  void Advance(std::vector<Output>& out);
  // When Advance has something to do next; none while nothing is pending.
  std::optional<Time> NextDeadline() const;
  // The host's RTS: under RTS/CTS the modem holds the far side's data while it is off.
  void SetRts(bool on) { rts_ = on; }
  LineState lineState() const;
  // Host bytes in the transmit buffer, still to go onto the line.
  std::size_t transmitLevel() const;

  const Settings& settings() const { return settings_; }
  CallState callState() const { return call_.state; }
  // Host bytes lost because the transmit buffer was full.
  std::uint64_t overruns() const { return overruns_; }
  // Times the transmit buffer reached its high water mark and flow control stopped the host.
  std::uint64_t flowStops() const { return flowStops_; }

 private:
  // A call from the first ring or the dial to the end of the carrier.
  struct Call {
    CallState state = CallState::kIdle;
    std::uint32_t rate = 0;
    platform::clock::Duration byteTime{};
    Time deadline{};  // dialling: when the modem gives up
    int rings = 0;
    Time nextRing{};
    Time ringOff{};
  };
  enum class Result {
    kOk = 0,
    kConnect = 1,
    kRing = 2,
    kNoCarrier = 3,
    kError = 4,
    kBusy = 7,
    kNoAnswer = 8
  };

  void ReceiveCommand(std::uint8_t byte, std::string& echo, std::vector<Output>& out);
  void ReceiveDownload(std::span<const std::uint8_t> bytes, std::vector<Output>& out);
  std::string Answer(const std::string& line);
  std::string EnterDownloadMode(const std::string& request);
  void Emit(std::string echo, std::string answer, std::vector<Output>& out) const;

  // The command set (firmware_commands.cpp).
  std::string Execute(const std::vector<AtCommand>& commands);
  std::optional<std::string> ExecuteOne(const AtCommand& command, bool& pending);
  std::optional<std::string> Dial(const std::string& number, bool& pending);
  std::optional<std::string> Online();
  std::string Info(const std::string& text) const;
  std::string Code(Result result) const;

  // Calls and data mode (firmware_call.cpp).
  Time Now() const;
  void ReceiveOnline(std::span<const std::uint8_t> bytes, std::vector<Output>& out);
  void Escape(std::uint8_t byte, Time now);
  void TakeLineEvents(Time now, std::vector<Output>& out);
  void OnLineEvent(const LineEvent& event, Time now, std::vector<Output>& out);
  void RunTimers(Time now, std::vector<Output>& out);
  void Ring(Time now, std::vector<Output>& out);
  void AnswerCall(Time now);
  void EndCall(Result result, std::vector<Output>& out);
  void HangUp();
  std::size_t Level(Time now);
  void UpdateFlow(Time now, std::vector<Output>& out);
  void ReleaseToHost(std::vector<Output>& out);
  void Report(Result result, std::vector<Output>& out) const;

  Behaviour behaviour_;
  Mode mode_ = Mode::kCommand;
  std::string line_;
  bool lineFeedEndsCommand_ = false;
  bool hung_ = false;
  std::vector<std::uint8_t> download_;
  ZmodemReceiver zmodem_;
  std::vector<std::string> downloadRequests_;

  Settings settings_;
  std::unique_ptr<LineSeat> seat_;
  Call call_;
  bool rts_ = true;
  // Escape from data mode: how many escape characters came in a row, after a guard time of
  // silence, and when the guard time after the third ends.
  int escapeCount_ = 0;
  Time escapeEnds_{};
  Time lastHostByte_{};
  // Each host byte's time of leaving for the line, oldest first; those still to leave fill
  // the transmit buffer.
  std::deque<Time> departures_;
  bool transmitFull_ = false;          // above the high water mark, not yet back to the low one
  bool hostXoff_ = false;              // under XON/XOFF the host has sent XOFF
  std::vector<std::uint8_t> forHost_;  // from the line, held while the host may not take it
  std::uint64_t overruns_ = 0;
  std::uint64_t flowStops_ = 0;
};

}  // namespace sim::modem
