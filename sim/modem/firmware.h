// The modem's firmware as its serial side shows it: the AT dialogue of command mode and the
// download mode that the update enters. It is a pure state machine over byte streams, so the
// same firmware can sit behind an in-process COM port now and behind the USB device model later:
// it takes the host's bytes and answers with timed chunks that the carrier delivers.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/modem/flash.h"
#include "sim/modem/output.h"
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

enum class Mode { kCommand, kDownload };

class Firmware {
 public:
  static constexpr const char* kIdentWithCode = "USB high power, bus-powered function";
  static constexpr const char* kIdentWithoutCode = "USB no modem code";
  static constexpr const char* kPrompt = ">>>";

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

  // DTR dropped: the modem leaves download mode (and a transfer in progress) and forgets a
  // half-typed command.
  void Reset();

 private:
  void ReceiveCommand(std::uint8_t byte, std::string& echo, std::vector<Output>& out);
  void ReceiveDownload(std::span<const std::uint8_t> bytes, std::vector<Output>& out);
  std::string Answer(const std::string& line);
  std::string EnterDownloadMode(const std::string& request);
  void Emit(std::string echo, std::string answer, std::vector<Output>& out) const;

  Behaviour behaviour_;
  Mode mode_ = Mode::kCommand;
  std::string line_;
  bool lineFeedEndsCommand_ = false;
  bool hung_ = false;
  std::vector<std::uint8_t> download_;
  ZmodemReceiver zmodem_;
  std::vector<std::string> downloadRequests_;
};

}  // namespace sim::modem
