// One side of a call as a program on the host sees it: a COM port opened as a terminal program
// of the era would, with the modem's flow control set on both ends, AT commands sent and their
// results awaited, and the payload written and read on threads of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/win32/windows.h"
#include "sim/modem/firmware.h"

namespace mdmsim {

class CallHost {
 public:
  using Log = std::function<void(const std::string& line)>;

  // Opens `comName` with the port settings of `flow`, raises DTR and RTS.
  CallHost(std::string comName, sim::modem::Flow flow, Log log);
  ~CallHost();
  CallHost(const CallHost&) = delete;
  CallHost& operator=(const CallHost&) = delete;

  bool open() const { return port_ != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return port_; }
  const std::string& name() const { return name_; }

  // Writes `command` and a carriage return (logged).
  void Say(const std::string& command);
  // Writes bytes as they are (logged as text, for the escape).
  void Send(std::string_view bytes);
  // Reads until `text` has come (true) or `limitMs` of virtual time have passed. Every line the
  // modem said meanwhile is logged.
  bool Await(std::string_view text, int limitMs);
  // What came since the last Await found its text (or since the start).
  const std::string& heard() const { return heard_; }
  bool Carrier();

  // The payload: written whole unless the carrier goes (then the rest is purged, as a program
  // does when the call is lost); read until `expected` bytes have come or the line has been
  // quiet for a while. `lastByte` is the time of the last byte read.
  void WritePayload(const std::vector<std::uint8_t>& payload, std::uint64_t& written);
  void ReadPayload(std::size_t expected, std::vector<std::uint8_t>& got,
                   platform::clock::Time& lastByte);

 private:
  void SetReadTimeout(DWORD ms);
  void LogLines();

  std::string name_;
  HANDLE port_;
  Log log_;
  std::string heard_;
  std::size_t logged_ = 0;  // how much of heard_ has been logged
};

}  // namespace mdmsim
