// The served ports in the platform root's serial-port map (HKLM\Hardware\Devicemap\Serialcomm),
// where the programs of this machine (mdmflash) look for COM ports: listed while they are served,
// as the driver lists a port it binds, and taken out again at the end.
#pragma once

#include <string>
#include <vector>

namespace mdmsim {

inline constexpr char kSerialMapKey[] = "Hardware\\Devicemap\\Serialcomm";

// Adds a port to the map of the current platform root as the driver writes it (value name and
// data the port's name), making the map's key when it is missing; false when it could not.
bool ListPort(const std::string& name);

class ListedPorts {
 public:
  // Lists each of `names` that the map does not list yet (value name and data the port's name),
  // making the map's key when it is missing.
  explicit ListedPorts(const std::vector<std::string>& names);
  // Takes out the values this object added, and only those.
  ~ListedPorts();
  ListedPorts(const ListedPorts&) = delete;
  ListedPorts& operator=(const ListedPorts&) = delete;

 private:
  std::vector<std::string> added_;
};

}  // namespace mdmsim
