#include "updater/app/list.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/base/console.h"
#include "updater/app/headless.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace {

// The probe's answer, one printed line per line of the reply, without blank lines or the line
// ends; bytes that are no text are shown as \xNN.
void PrintAnswer(std::string_view reply) {
  std::string line;
  auto flush = [&line] {
    if (!line.empty()) std::printf("  %s\n", line.c_str());
    line.clear();
  };
  for (char c : reply) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n') {
      flush();
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  flush();
}

std::atomic<platform::StopRequest> stopRequest{platform::StopRequest::kNone};

// A stop signal ends the list after the port being probed, whose settings are then put back:
// the signals wait for a thread of their own, which only notes them.
void NoteStopSignals() {
  platform::HandStopRequestsTo([](platform::StopRequest request) { stopRequest = request; });
}

}  // namespace

int ListModems() {
  NoteStopSignals();
  updateSession.portCount = static_cast<LONG>(EnumSerialPorts(kMaxPorts));
  if (portListUnreadable) {
    std::printf("The serial-port map (hardware\\devicemap\\serialcomm) cannot be read.\n");
  } else if (updateSession.portCount == 0) {
    std::printf("There are no serial ports.\n");
  }
  for (int i = 0; i < updateSession.portCount && updateSession.PortTable[i].name[0] != '\0'; ++i) {
    if (stopRequest.load() != platform::StopRequest::kNone) break;
    CheckModem(i);
    const PortEntry& entry = updateSession.PortTable[i];
    const char* kind = entry.isUsbModem == 0    ? "no USB modem"
                       : entry.noModemCode != 0 ? "USB modem without modem code"
                                                : "USB modem with modem code";
    std::printf("%s: %s\n", entry.name, kind);
    PrintAnswer(std::string_view(reinterpret_cast<const char*>(ModemReplyBuffer),
                                 static_cast<std::size_t>(identReplyCount)));
    std::fflush(stdout);
  }
  if (platform::StopRequest request = stopRequest.load(); request != platform::StopRequest::kNone) {
    std::fprintf(stderr, "mdmflash: stopped by %s\n", platform::StopRequestName(request));
    return ExitStatusFor(request);
  }
  return updateSession.modemCount > 0 ? kExitUpdated : kExitNoModem;
}
