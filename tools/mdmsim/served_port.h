// One COM port of this process served to the programs of this machine, in real time: as a
// pseudo-terminal linked as $MDM_ROOT/dosdevices/comN (so that CreateFileA("COMn") of another
// process opens it), and, when asked, as an RFC 2217 server on 127.0.0.1. A pseudo-terminal
// has no modem lines: DTR counts as on while a program holds the terminal open, or a network
// client is connected (a client that leaves drops it for 100 ms all the same), and a carrier that
// drops hangs the terminal up (unless its program set CLOCAL), after which a fresh terminal takes
// the link. One client at a time; another is turned away.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
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
  // What the server has to tell its program's user (a hang-up, a fresh terminal that could not
  // be had), one line without the program's prefix; the program prints it as its own lines.
  using Say = std::function<void(const std::string& line)>;

  // Serves `comName` (a port of this process), with an RFC 2217 server on `tcpPort` unless it
  // is 0. Null, with `error` saying why in one line, when it cannot.
  static std::unique_ptr<ServedPort> Start(const std::string& comName, std::uint16_t tcpPort,
                                           Say say, std::string& error);
  // Stops serving: the threads end, the client is dropped, the link removed, the port closed.
  ~ServedPort();
  ServedPort(const ServedPort&) = delete;
  ServedPort& operator=(const ServedPort&) = delete;

  // The terminal's path now (a hang-up replaces the terminal).
  std::string terminal() const;
  const std::filesystem::path& link() const { return link_; }

 private:
  ServedPort() = default;
  bool OpenPort(const std::string& comName, std::string& error);
  bool OpenTerminal(std::string& error);
  bool Link(std::string& error);
  bool Listen(std::uint16_t tcpPort, std::string& error);

  // The port's output to the terminal and the client.
  void OutputLoop();
  void ToTerminal(const BYTE* bytes, std::size_t count);
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
  void FollowCarrier();
  void DeclareLines(DWORD status);
  std::filesystem::path LinesFile() const;
  void HangUp();
  int HangUpsSoFar();

  HANDLE port_ = nullptr;
  HANDLE readEvent_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  std::string name_;
  Say say_;
  // The terminal's master side: one descriptor number for the server's life; a hang-up puts a
  // fresh terminal's master under it.
  int master_ = -1;
  std::filesystem::path link_;
  bool linked_ = false;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  bool dtr_ = false;                 // as last set on the port; the input thread's
  bool carrier_ = false;             // as last seen on the port; the output thread's
  DWORD declaredLines_ = ~DWORD{0};  // the lines in the declaration file; none written yet

  mutable std::mutex terminalMutex_;  // guards the fields below; held while writing to the terminal
  std::string terminal_;
  bool terminalOpen_ = false;  // a program holds the terminal
  int hangUps_ = 0;

  std::mutex clientMutex_;  // guards the client and its session
  int client_ = -1;
  bool clientLeft_ = false;  // a client left since the input thread last followed DTR
  std::unique_ptr<Rfc2217Session> session_;

  std::thread output_;
  std::thread input_;
};

}  // namespace mdmsim
