// One client of a COM port served over RFC 2217 (telnet with the COM-port option): the telnet
// options negotiated, each COM-port command carried out on the port and acknowledged with the
// value then in force, the modem lines notified as they change, and data both ways with 0xFF
// escaped. Pure protocol: the server's connection loop moves the bytes.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "platform/net/telnet.h"
#include "platform/win32/windows.h"

namespace mdmsim {

class Rfc2217Session : platform::net::TelnetSink {
 public:
  // `port` is an open COM port; `name` is told to a client that asks for the signature.
  Rfc2217Session(HANDLE port, std::string name);

  // Takes bytes from the client; the data among them is appended to `toPort`. False when the
  // client broke the protocol: the connection is to be closed.
  bool FromClient(std::span<const BYTE> bytes, std::vector<BYTE>& toPort);
  // Data from the port for the client.
  void FromPort(std::span<const BYTE> bytes);
  // Reads the port's modem lines and notifies a change that the client's mask lets through.
  void CheckModemState();
  // Everything for the client since the last call.
  std::vector<BYTE> TakeForClient();
  // The client asked the server to hold its data (FLOWCONTROL-SUSPEND until RESUME).
  bool suspended() const { return suspended_; }

 private:
  void OnData(std::span<const BYTE> bytes) override;
  void OnNegotiation(BYTE verb, BYTE option) override;
  void OnSubnegotiation(BYTE option, std::span<const BYTE> payload) override;

  void Negotiate(BYTE verb, BYTE option);
  void Command(BYTE command, std::span<const BYTE> value);
  void LineSetting(BYTE command, std::span<const BYTE> value);
  void Control(BYTE value);
  BYTE ControlState(BYTE request);
  void Reply(BYTE command, std::span<const BYTE> value);
  void Reply(BYTE command, BYTE value) { Reply(command, std::span(&value, 1)); }
  bool ComPortOptionOn() const;

  HANDLE port_;
  std::string name_;
  platform::net::TelnetReader reader_;
  std::vector<BYTE> forClient_;
  std::vector<BYTE>* toPort_ = nullptr;
  std::array<bool, 256> ours_{};    // options the server does (it said WILL)
  std::array<bool, 256> theirs_{};  // options the client does (the server said DO)
  bool dtr_ = true;
  bool rts_ = true;
  bool break_ = false;
  BYTE modemMask_ = 0xFF;
  BYTE lastModem_ = 0;
  bool suspended_ = false;
};

}  // namespace mdmsim
