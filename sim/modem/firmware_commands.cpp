// The modem's AT command set: the settings (E, V, Q, S-registers, &K, Z, &F), identification
// (I9) and the call commands (D, A, H, O). A line's commands run in order; the line ends with
// one result code, or with none yet when a call is being placed or answered.
#include <cstdio>

#include "sim/modem/firmware.h"

namespace sim::modem {
namespace {

const char* ResultText(int code) {
  switch (code) {
    case 0:
      return "OK";
    case 1:
      return "CONNECT";
    case 2:
      return "RING";
    case 3:
      return "NO CARRIER";
    case 7:
      return "BUSY";
    case 8:
      return "NO ANSWER";
    default:
      return "ERROR";
  }
}

// E, V and Q take 0 or 1.
std::optional<std::string> Switch(int value, bool& setting) {
  if (value > 1) return std::nullopt;
  setting = value == 1;
  return "";
}

}  // namespace

std::string Firmware::Execute(const std::vector<AtCommand>& commands) {
  std::string text;
  for (const AtCommand& command : commands) {
    bool done = false;
    auto part = ExecuteOne(command, done);
    if (!part) return text + Code(Result::kError);
    text += *part;
    if (done) return text;
  }
  return text + Code(Result::kOk);
}

// Information text, or none for an invalid command. `done` is set when the command has given
// the line's result itself (or will give it later).
std::optional<std::string> Firmware::ExecuteOne(const AtCommand& command, bool& done) {
  if (command.ampersand) {
    if (command.name == 'F' && command.value == 0) {
      settings_ = {};
      return "";
    }
    if (command.name != 'K' || (command.value != 0 && (command.value < 3 || command.value > 5))) {
      return std::nullopt;
    }
    settings_.flow = static_cast<Flow>(command.value);
    return "";
  }
  switch (command.name) {
    case 'E':
      return Switch(command.value, settings_.echo);
    case 'V':
      return Switch(command.value, settings_.verbose);
    case 'Q':
      return Switch(command.value, settings_.quiet);
    case 'S': {
      if (command.reg >= static_cast<int>(settings_.s.size())) return std::nullopt;
      if (command.query) {
        char value[8];
        std::snprintf(value, sizeof(value), "%03d", settings_.s[command.reg]);
        return Info(value);
      }
      if (command.value > 255) return std::nullopt;
      settings_.s[command.reg] = command.value;
      return "";
    }
    case 'Z':
      settings_ = {};
      return "";
    case 'I':
      if (command.value != 9) return std::nullopt;
      return Info(kIdentWithCode);
    case 'L':  // speaker volume, speaker and result code set: nothing to change on this line
    case 'M':
    case 'X':
      return "";
    case 'H':
      if (command.value != 0) return std::nullopt;
      HangUp();
      return "";
    case 'A':
      done = true;
      if (call_.state != CallState::kRinging) return Code(Result::kNoCarrier);
      AnswerCall(Now());
      return "";
    case 'D':
      return Dial(command.number, done);
    case 'O':
      done = true;
      return Online();
    default:
      return std::nullopt;
  }
}

// The result (BUSY, NO CARRIER, NO ANSWER or CONNECT) comes when the line has decided.
std::optional<std::string> Firmware::Dial(const std::string& number, bool& done) {
  if (call_.state != CallState::kIdle) return std::nullopt;
  done = true;
  if (!seat_) return Code(Result::kNoCarrier);
  Time now = Now();
  call_ =
      Call{.state = CallState::kDialing, .deadline = now + std::chrono::seconds(settings_.s[7])};
  seat_->line().Dial(seat_->number(), number, now);
  return "";
}

// Back to data mode in the call that an escape left.
std::optional<std::string> Firmware::Online() {
  if (call_.state != CallState::kConnected) return Code(Result::kNoCarrier);
  mode_ = Mode::kOnline;
  escapeCount_ = 0;
  lastHostByte_ = Now();
  return Code(Result::kConnect);
}

std::string Firmware::Info(const std::string& text) const {
  return settings_.verbose ? "\r\n" + text + "\r\n" : text + "\r\n";
}

// Verbose codes are framed by CR LF on both sides; numeric ones are the number and a CR.
std::string Firmware::Code(Result result) const {
  if (settings_.quiet) return {};
  int code = static_cast<int>(result);
  if (!settings_.verbose) return std::to_string(code) + "\r";
  std::string text = ResultText(code);
  if (result == Result::kConnect) text += " " + std::to_string(call_.rate);
  return "\r\n" + text + "\r\n";
}

}  // namespace sim::modem
