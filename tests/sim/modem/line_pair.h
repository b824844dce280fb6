// Modems on a phone line as bare firmware, run by the test in virtual time: each is advanced at
// its own deadlines, and what it sends to its host is collected as text.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/modem/firmware.h"
#include "sim/modem/phone_line.h"
#include "tests/support/virtual_time.h"

namespace testing_support {

struct LineModem {
  sim::modem::Firmware firmware;
  std::string heard;

  void Type(const std::string& text) {
    std::vector<sim::modem::Output> out;
    firmware.Receive(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                     out);
    Collect(out);
  }
  void Advance() {
    std::vector<sim::modem::Output> out;
    firmware.Advance(out);
    Collect(out);
  }
  void Collect(const std::vector<sim::modem::Output>& out) {
    for (const auto& chunk : out) heard.append(chunk.bytes.begin(), chunk.bytes.end());
  }
  // What the host has heard since the last call.
  std::string Take() { return std::exchange(heard, {}); }
};

class LinePair : public ::testing::Test {
 protected:
  void SetUp() override {
    line = std::make_shared<sim::modem::PhoneLine>();
    for (std::size_t i = 0; i < modems.size(); ++i) {
      ASSERT_TRUE(modems[i].firmware.PlugIntoLine(line, std::to_string(i + 1)));
    }
  }

  // Runs every modem until `duration` from now, each looking at its deadlines.
  void RunFor(platform::clock::Duration duration) {
    platform::clock::Time end = time.clock().Now() + duration;
    for (;;) {
      std::optional<platform::clock::Time> next;
      for (auto& modem : modems) {
        auto deadline = modem.firmware.NextDeadline();
        if (deadline && (!next || *deadline < *next)) next = deadline;
      }
      if (!next || *next > end) break;
      SleepUntil(*next);
      for (auto& modem : modems) modem.Advance();
    }
    SleepUntil(end);
    for (auto& modem : modems) modem.Advance();
  }
  void SleepUntil(platform::clock::Time at) {
    auto now = time.clock().Now();
    if (at > now) platform::clock::SleepFor(at - now);
  }
  // Modem 1 calls modem 2, which answers on the first ring: connected after the dial time and
  // the handshake, and the test goes on at that moment.
  void Connect(const std::string& connect = "CONNECT 33600") {
    b.Type("ATS0=1\r");
    a.Type("ATD2\r");
    RunFor(line->config().dialTime + line->config().handshake);
    ASSERT_NE(a.heard.find(connect), std::string::npos) << a.heard;
    ASSERT_NE(b.heard.find(connect), std::string::npos) << b.heard;
    a.Take();
    b.Take();
  }

  VirtualTime time;
  std::shared_ptr<sim::modem::PhoneLine> line;
  std::array<LineModem, 3> modems;
  LineModem& a = modems[0];
  LineModem& b = modems[1];
  LineModem& c = modems[2];
};

}  // namespace testing_support
