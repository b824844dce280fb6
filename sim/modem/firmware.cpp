#include "sim/modem/firmware.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace sim::modem {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace

Firmware::Firmware(Behaviour behaviour) : behaviour_(std::move(behaviour)) {}

void Firmware::Receive(std::span<const std::uint8_t> bytes, std::vector<Output>& out) {
  std::string echo;
  std::size_t taken = 0;
  for (; taken < bytes.size() && mode_ == Mode::kCommand; ++taken) {
    ReceiveCommand(bytes[taken], echo, out);
  }
  if (!echo.empty()) Emit(std::move(echo), {}, out);
  if (mode_ == Mode::kOnline) {
    ReceiveOnline(bytes.subspan(taken), out);
    // Also what waited while the modem was in command mode, when this was ATO.
    ReleaseToHost(out);
  } else {
    ReceiveDownload(bytes.subspan(taken), out);
  }
}

void Firmware::ReceiveDownload(std::span<const std::uint8_t> bytes, std::vector<Output>& out) {
  if (bytes.empty()) return;
  // The line feed that ends the command which started download mode is not data.
  if (std::exchange(lineFeedEndsCommand_, false) && bytes.front() == '\n') {
    bytes = bytes.subspan(1);
  }
  download_.insert(download_.end(), bytes.begin(), bytes.end());
  std::vector<Output> unheard;  // a silent modem receives all the same but says nothing
  zmodem_.Receive(bytes, behaviour_.zmodem, behaviour_.silent ? unheard : out);
}

// Command mode echoes what it receives and answers each line at its carriage return. A bare
// "x" at the start of a line asks for the download prompt at once, without a line end.
void Firmware::ReceiveCommand(std::uint8_t byte, std::string& echo, std::vector<Output>& out) {
  if (byte == '\n') return;  // the line feed after a command's carriage return is dropped
  if (call_.state == CallState::kDialing || call_.state == CallState::kAnswering) {
    // A key pressed while the modem connects abandons the call.
    HangUp();
    Report(Result::kNoCarrier, out);
    return;
  }
  if (settings_.echo) echo.push_back(static_cast<char>(byte));
  if (byte == 'x' && line_.empty()) {
    Emit(std::move(echo), EnterDownloadMode("x"), out);
    echo.clear();
    return;
  }
  if (byte != '\r') {
    line_.push_back(static_cast<char>(byte));
    return;
  }
  std::string answer = Answer(Lower(line_));
  line_.clear();
  if (!answer.empty()) {
    Emit(std::move(echo), std::move(answer), out);
    echo.clear();
  }
}

// A bare boot loader knows only its identification; modem code runs the whole command set.
std::string Firmware::Answer(const std::string& line) {
  if (line.empty()) return {};
  if (!behaviour_.hasModemCode) {
    if (line == "ati9") return "\r\n" + std::string(kIdentWithoutCode) + "\r\n\r\nOK\r\n";
    return "\r\nERROR\r\n";
  }
  if (line == "at@d") {
    std::string answer = EnterDownloadMode(line);
    lineFeedEndsCommand_ = mode_ == Mode::kDownload;
    return answer.empty() ? answer : "\r\n" + answer;
  }
  auto commands = ParseAtLine(line);
  return commands ? Execute(*commands) : Code(Result::kError);
}

// Only the prompt means the modem now takes an image.
std::string Firmware::EnterDownloadMode(const std::string& request) {
  downloadRequests_.push_back(request);
  hung_ = behaviour_.downloadAnswer.empty();
  if (behaviour_.downloadAnswer.find(kPrompt) != std::string::npos) {
    mode_ = Mode::kDownload;
    zmodem_.Reset();
  }
  return behaviour_.downloadAnswer;
}

void Firmware::Reset() {
  HangUp();
  mode_ = Mode::kCommand;
  line_.clear();
  lineFeedEndsCommand_ = false;
  hung_ = false;
  zmodem_.Reset();
}

void Firmware::Emit(std::string echo, std::string answer, std::vector<Output>& out) const {
  if (behaviour_.silent || hung_) return;
  if (answer.empty()) {
    out.push_back({Duration::zero(), Bytes(echo)});
    return;
  }
  answer = behaviour_.extraText + answer;
  if (behaviour_.burstGap > Duration::zero()) {
    out.push_back({Duration::zero(), Bytes(echo)});
    out.push_back({behaviour_.burstGap, Bytes(answer)});
  } else {
    out.push_back({behaviour_.answerDelay, Bytes(echo + answer)});
  }
}

}  // namespace sim::modem
