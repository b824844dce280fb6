#include "tools/mdmsim/call_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace mdmsim {
namespace {

constexpr DWORD kReadSliceMs = 50;        // a read returns what came within this, or a full buffer
constexpr int kQuietLimitMs = 5000;       // the payload has stopped coming
constexpr std::size_t kWriteChunk = 256;  // the carrier is looked at between chunks

double NowMs() {
  return std::chrono::duration<double, std::milli>(platform::clock::Current().Now()).count();
}

// Control characters as the modem's texts would show them in a log.
std::string Printable(std::string_view text) {
  std::string shown;
  for (char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      shown += c;
    } else {
      char code[8];
      std::snprintf(code, sizeof(code), "<%02X>", static_cast<unsigned char>(c));
      shown += code;
    }
  }
  return shown;
}

}  // namespace

CallHost::CallHost(std::string comName, sim::modem::Flow flow, Log log)
    : name_(std::move(comName)), log_(std::move(log)) {
  port_ = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                      nullptr);
  if (port_ == INVALID_HANDLE_VALUE) return;
  EscapeCommFunction(port_, SETDTR);
  EscapeCommFunction(port_, SETRTS);
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(port_, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = sim::modem::Hardware(flow);
  dcb.fRtsControl = sim::modem::Hardware(flow) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = sim::modem::Software(flow);
  dcb.fInX = sim::modem::Software(flow);
  SetCommState(port_, &dcb);
  SetReadTimeout(kReadSliceMs);
}

CallHost::~CallHost() {
  if (open()) CloseHandle(port_);
}

void CallHost::SetReadTimeout(DWORD ms) {
  COMMTIMEOUTS timeouts{0, 0, ms, 0, 0};
  SetCommTimeouts(port_, &timeouts);
}

void CallHost::Say(const std::string& command) {
  log_(name_ + " > " + command);
  std::string line = command + "\r";
  DWORD written = 0;
  WriteFile(port_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void CallHost::Send(std::string_view bytes) {
  log_(name_ + " > " + std::string(bytes));
  DWORD written = 0;
  WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool CallHost::Await(std::string_view text, int limitMs) {
  double until = NowMs() + limitMs;
  std::size_t found;
  while ((found = heard_.find(text)) == std::string::npos) {
    if (NowMs() > until) {
      LogLines();
      return false;
    }
    char buffer[256];
    DWORD count = 0;
    ReadFile(port_, buffer, sizeof(buffer), &count, nullptr);
    heard_.append(buffer, count);
    LogLines();
  }
  heard_.erase(0, found + text.size());
  logged_ = 0;
  return true;
}

// Logs each complete line of what the modem said, once.
void CallHost::LogLines() {
  std::size_t end;
  while ((end = heard_.find("\r\n", logged_)) != std::string::npos) {
    std::string_view line(heard_.data() + logged_, end - logged_);
    while (line.ends_with('\r')) line.remove_suffix(1);  // an echoed command line
    if (!line.empty()) log_(name_ + " < " + Printable(line));
    logged_ = end + 2;
  }
}

bool CallHost::Carrier() {
  DWORD status = 0;
  return GetCommModemStatus(port_, &status) && (status & MS_RLSD_ON) != 0;
}

void CallHost::WritePayload(const std::vector<std::uint8_t>& payload, std::uint64_t& written) {
  written = 0;
  while (written < payload.size() && Carrier()) {
    std::size_t chunk = std::min<std::size_t>(kWriteChunk, payload.size() - written);
    DWORD done = 0;
    WriteFile(port_, payload.data() + written, static_cast<DWORD>(chunk), &done, nullptr);
    written += done;
  }
  if (written < payload.size()) PurgeComm(port_, PURGE_TXCLEAR);
}

void CallHost::ReadPayload(std::size_t expected, std::vector<std::uint8_t>& got,
                           platform::clock::Time& lastByte) {
  std::vector<std::uint8_t> buffer(16384);
  int quietMs = 0;
  while (got.size() < expected && quietMs < kQuietLimitMs) {
    DWORD count = 0;
    DWORD wanted = static_cast<DWORD>(std::min(buffer.size(), expected - got.size()));
    ReadFile(port_, buffer.data(), wanted, &count, nullptr);
    if (count == 0) {
      quietMs += static_cast<int>(kReadSliceMs);
      continue;
    }
    quietMs = 0;
    got.insert(got.end(), buffer.begin(), buffer.begin() + count);
    lastByte = platform::clock::Current().Now();
  }
}

}  // namespace mdmsim
