// One COM port of this process served to the programs of this machine, in real time: as a
// pseudo-terminal linked as $MDM_ROOT/dosdevices/comN (so that CreateFileA("COMn") of another
// process opens it), and, when asked, as an RFC 2217 server on 127.0.0.1. A pseudo-terminal
// has no modem lines: DTR counts as on while a program holds the terminal open, or a network
// client is connected. One client at a time; another is turned away.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows.h"
#include "tools/mdmsim/rfc2217_session.h"

namespace mdmsim {

class ServedPort {
 public:
  // Serves `comName` (a port of this process), with an RFC 2217 server on `tcpPort` unless it
  // is 0. Null, with `error` saying why in one line, when it cannot.
  static std::unique_ptr<ServedPort> Start(const std::string& comName, std::uint16_t tcpPort,
                                           std::string& error);
  // Stops serving: the threads end, the client is dropped, the link removed, the port closed.
  ~ServedPort();
  ServedPort(const ServedPort&) = delete;
  ServedPort& operator=(const ServedPort&) = delete;

  const std::string& terminal() const { return terminal_; }
  const std::filesystem::path& link() const { return link_; }

 private:
  ServedPort() = default;
  bool OpenPort(const std::string& comName, std::string& error);
  bool OpenTerminal(const std::string& comName, std::string& error);
  bool Listen(std::uint16_t tcpPort, std::string& error);

  // The port's output to the terminal and the client.
  void OutputLoop();
  // The terminal's and the client's input to the port; takes clients.
  void InputLoop();
  void Accept();
  void FromClient();
  void DropClient();
  void DropClientLocked();
  bool ClientSuspended();
  // Sends what the session has for the client (under clientMutex_); false when it is gone.
  bool SendToClientLocked();
  void WriteToPort(const std::vector<BYTE>& bytes);
  void FollowDtr();

  HANDLE port_ = nullptr;
  HANDLE readEvent_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  std::string name_;
  int master_ = -1;  // the terminal's master side
  std::string terminal_;
  std::filesystem::path link_;
  int listener_ = -1;
  std::atomic<bool> terminalOpen_{false};
  std::atomic<bool> stopping_{false};
  bool dtr_ = false;  // as last set on the port; the input thread's

  std::mutex clientMutex_;  // guards the client and its session
  int client_ = -1;
  std::unique_ptr<Rfc2217Session> session_;

  std::thread output_;
  std::thread input_;
};

}  // namespace mdmsim
