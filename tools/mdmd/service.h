// The modem service over a real USB bus: mdmcore loaded on the libusb host controller, on the
// real clock. Every modem (VID 0xF3A9, PID 0x5201) that arrives is opened, added and started
// by the Plug and Play manager; the driver binds it to a COM number in the platform root's
// registry, and that COM port is served to the programs of this machine (pseudo-terminal
// linked as dosdevices/comN, RFC 2217 on 127.0.0.1 when asked). A modem that leaves is removed
// by surprise and its port stops being served.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/mdmsim/stalls.h"

namespace mdmd {

struct ServiceOptions {
  // The RFC 2217 server of COMn listens on rfc2217Base + n; 0: no RFC 2217 server.
  int rfc2217Base = 0;
  // The serial numbers of the modems to serve, in any case; empty: every modem.
  std::vector<std::string> serials;
  // Stalls of the kernel's processor, as a busy host makes them (a fault for tests); none: none.
  std::optional<mdmsim::StallPlan> stalls;
};

// One line of the service's log, without its newline.
using Log = std::function<void(const std::string& line)>;

class Service {
 public:
  // Loads the driver and starts listening for modems (those already plugged arrive at once).
  // Null, with `error` saying in one line what is missing, when it cannot.
  static std::unique_ptr<Service> Start(const ServiceOptions& options, Log log, std::string& error);
  // Stops and removes every modem, stops serving their ports, unloads the driver and logs the
  // pool report.
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // The COM ports served now ("COM3", ...), in the order their modems arrived.
  std::vector<std::string> ComPorts() const;
  struct State;

 private:
  explicit Service(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// What a libusb error when opening a modem means to its user, in one line.
std::string OpenFailureHint(int libusbError, int bus, int address);

}  // namespace mdmd
