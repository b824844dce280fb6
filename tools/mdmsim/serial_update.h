// One update session run headless in virtual time against simulated modems on in-process COM
// ports: the world that `mdmsim update --link serial` and the benchmarks build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock/clock.h"
#include "sim/modem/firmware.h"

namespace mdmsim {

struct ModemSetup {
  std::string port;  // "COM3"
  sim::modem::Behaviour behaviour;
};

struct SerialUpdate {
  std::vector<std::string> plainPorts;  // listed ports that answer nothing
  std::vector<ModemSetup> modems;
  std::string imagePath;  // what the file dialog answers
  // Another image for the modem on a port: the file dialog names the port in its title.
  std::map<std::string, std::string> imageByPort;
  bool sameImage = true;  // the answer to the same-image question
  // Headless: Exit is pressed when the log receives this text, and the question whether to
  // cancel a running update is answered Yes.
  std::string exitOn;
  std::function<void(std::string_view)> onLog;  // sees the log as it grows
  bool gui = false;                             // shows the real window (needs a display)
  int guiHoldMs = 0;  // how long the window stays after the session, in wall time
};

struct ModemOutcome {
  std::string port;
  bool offered = false;     // the session prepared it for an update
  bool holdsImage = false;  // its flash holds the image byte for byte
};

struct SerialUpdateResult {
  std::int64_t virtualMs = 0;
  std::string log;
  std::vector<ModemOutcome> modems;
};

// Lists the ports in the registry of the current platform root (MDM_ROOT), runs the session to
// its end and closes it as the Exit button does.
SerialUpdateResult RunSerialUpdate(const SerialUpdate& update);

// The pieces the update through the driver stack shares with the serial level.
std::vector<std::uint8_t> ReadImage(const std::string& path);
// Writes `size` pseudo-random bytes drawn from `seed` to `path`: a firmware image.
void WriteRandomImage(const std::string& path, std::size_t size, unsigned seed);

// The image the file dialog gives for the modem on `port`.
const std::string& ImageFor(const SerialUpdate& update, const std::string& port);
// Runs the session on the calling thread, which the current clock knows as `dialogThread`
// (given up while a real window runs), to its end and closes it as the Exit button does, so
// every port it opened is closed again. `update.modems` is not used. Returns the log.
std::string RunSessionToEnd(const SerialUpdate& update,
                            std::optional<platform::clock::ThreadScope>& dialogThread);
// True when the session prepared the modem on `port` for an update.
bool WasOffered(const std::string& log, const std::string& port);

}  // namespace mdmsim
