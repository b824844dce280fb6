// A simulated modem in download mode, driven by a test as the update's sender would drive it:
// the frames of a whole transfer and the answers the modem should give to each.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "sim/modem/firmware.h"
#include "tests/sim/modem/zmodem_line.h"

namespace zmodem_test {

using namespace zmodem_line;

inline constexpr const char* kOk = "\r\nFlash check OK\r\n";
inline constexpr const char* kError = "\r\nFlash check ERROR\r\n";

// One frame of the sender and what the modem answers to it.
struct Exchange {
  Bytes frame;
  Bytes answer;
};

// The transfer of an image in blocks of 512, as the update sends it, with a good modem's answers.
inline std::vector<Exchange> Transfer(const Bytes& image, const std::string& name = "modem.bin") {
  std::vector<Exchange> script = {
      {HexHeader(kZrqinit, 0), Answer(kZrinit, 0x23000000)},
      {ZfileFrame(name, image.size()), Answer(kZrpos, 0)},
  };
  for (std::size_t at = 0; at < image.size(); at += 512) {
    std::size_t end = std::min(image.size(), at + 512);
    Bytes block(image.begin() + static_cast<std::ptrdiff_t>(at),
                image.begin() + static_cast<std::ptrdiff_t>(end));
    script.push_back({ZdataFrame(static_cast<std::uint32_t>(at), block),
                      Answer(kZack, static_cast<std::uint32_t>(end))});
  }
  auto size = static_cast<std::uint32_t>(image.size());
  script.push_back({BinaryHeader(kZeof, size), Answer(kZrinit, 0x23000000)});
  script.push_back({HexHeader(kZfin, 0, {.xon = false}), Answer(kZfin, 0)});
  script.push_back({Text("OO"), Text(kOk)});
  return script;
}

class Download {
 public:
  // A modem that has been asked for download mode and, unless told otherwise, sent "rz".
  explicit Download(sim::modem::Behaviour behaviour = {}, bool sendRz = true)
      : firmware(std::move(behaviour)) {
    Send(Text("at@d\r\n"));
    if (sendRz) Send(Text("rz\r\n"));
  }

  // Sends bytes in pieces of `piece` bytes (all at once with 0); returns every answer chunk.
  std::vector<sim::modem::Output> Send(const Bytes& bytes, std::size_t piece = 0) {
    std::vector<sim::modem::Output> out;
    if (piece == 0) piece = bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      std::size_t length = std::min(piece, bytes.size() - at);
      firmware.Receive(std::span(bytes).subspan(at, length), out);
    }
    return out;
  }

  // What the modem answers to bytes, all chunks together.
  Bytes Ask(const Bytes& bytes, std::size_t piece = 0) {
    Bytes answer;
    for (const auto& chunk : Send(bytes, piece)) answer = answer + chunk.bytes;
    return answer;
  }

  // Runs a script; every answer must be the expected one.
  void Run(const std::vector<Exchange>& script, std::size_t piece = 0) {
    for (std::size_t i = 0; i < script.size(); ++i) {
      EXPECT_EQ(String(Ask(script[i].frame, piece)), String(script[i].answer)) << "frame " << i;
    }
  }

  Bytes Flash() const { return firmware.flash().image(); }

  sim::modem::Firmware firmware;
};

}  // namespace zmodem_test
