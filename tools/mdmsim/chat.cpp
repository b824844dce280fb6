#include "tools/mdmsim/chat.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock/virtual_clock.h"
#include "platform/win32/debug.h"
#include "platform/win32/inprocess_port.h"
#include "sim/modem/serial_modem.h"
#include "sim/world/world.h"
#include "tools/mdmsim/rig.h"
#include "updater/serial/serial.h"

namespace mdmsim {
namespace {

struct ChatOptions {
  std::vector<std::string> commands;
  bool noModemCode = false;
  bool debug = false;
  std::string link = "serial";
  int modems = 0;  // above 0: that many USB modems through the whole driver stack
  DWORD waitMs = 10000;
};

// Shows control characters the way the texts are written: \r, \n, \xNN.
std::string Escaped(const BYTE* bytes, LONG count) {
  std::string text;
  for (LONG i = 0; i < count; ++i) {
    BYTE c = bytes[i];
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      text += hex;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

double NowMs() {
  return std::chrono::duration<double, std::milli>(platform::clock::Current().Now()).count();
}

// Opens the port as the update does, sends one command and prints the answer.
void Ask(const std::string& port, std::string command, DWORD waitMs) {
  if (command != "x") command += "\r\n";  // "x" goes out bare, as the download request does
  commPortSession.port = OpenCommPort(port.c_str(), 250);
  if (commPortSession.port == nullptr) {
    std::printf("%s: cannot be opened\n", port.c_str());
    return;
  }
  double start = NowMs();
  WriteToComm(reinterpret_cast<const BYTE*>(command.data()), static_cast<LONG>(command.size()));
  LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, waitMs);
  std::printf(
      "%s > %s\n", port.c_str(),
      Escaped(reinterpret_cast<const BYTE*>(command.data()), static_cast<LONG>(command.size()))
          .c_str());
  if (count > 0) {
    std::printf("%s < %s\n", port.c_str(), Escaped(ModemReplyBuffer, count).c_str());
  } else {
    std::printf("%s < (no answer)\n", port.c_str());
  }
  std::printf("      read ended after %.0f ms of virtual time\n", NowMs() - start);
  CloseCommPort();
}

// Runs body in virtual time with the session's two events, as the update worker provides them.
template <class Body>
void InVirtualTime(Body body) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope thread("mdmsim");
  commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  body();
  CloseHandle(commPortSession.readEvent);
  CloseHandle(commPortSession.writeEvent);
}

// The modems are USB devices: each answer comes through the COM port, the serial-port driver,
// mdmcore and the host controller.
int RunUsbChat(const ChatOptions& options) {
  int result = 0;
  InVirtualTime([&] {
    sim::world::World world;
    DriverRig rig(world);
    for (int i = 0; i < options.modems; ++i) {
      sim::usbdevice::ModemIdentity identity{SerialFor(i), u"USB Modem", true};
      if (rig.AddModem(ComNameFor(i), identity, {.hasModemCode = !options.noModemCode}) ==
          nullptr) {
        std::printf("modem %d: the driver did not start it\n", i);
        result = 1;
      }
    }
    for (auto& modem : rig.modems()) {
      std::printf("%s: USB modem \"%s\" through mdmcore\n", modem->comName.c_str(),
                  Narrow(SerialFor(static_cast<int>(&modem - &rig.modems()[0]))).c_str());
      for (const std::string& command : options.commands) {
        Ask(modem->comName, command, options.waitMs);
      }
    }
    if (!NT_SUCCESS(rig.Shutdown())) result = 1;
  });
  return result;
}

int RunChat(const ChatOptions& options) {
  if (options.debug) platform::win32::debug::SetStream(stderr);
  if (options.modems > 0 || options.link == "usb") {
    ChatOptions usb = options;
    usb.modems = options.modems > 0 ? options.modems : 1;
    return RunUsbChat(usb);
  }
  InVirtualTime([&] {
    auto port = platform::win32::InProcessPort::Create("COM3");
    sim::modem::SerialModem::Attach(port, {.hasModemCode = !options.noModemCode});
    for (const std::string& command : options.commands) Ask("COM3", command, options.waitMs);
  });
  return 0;
}

}  // namespace

void AddChatCommand(CLI::App& app, int& result) {
  auto options = std::make_shared<ChatOptions>();
  CLI::App* chat = app.add_subcommand("chat",
                                      "Send commands to a simulated modem on COM3 (or to "
                                      "each USB modem with --modems) and print its answers "
                                      "(CR LF is appended, except to \"x\").");
  chat->add_option("commands", options->commands, "commands, e.g. ati9 at@d x");
  chat->add_option("--link", options->link, "how the modem is attached")
      ->check(CLI::IsMember({"serial", "usb"}));
  chat->add_option("--modems", options->modems,
                   "USB modems on COM3, COM4, ... through mdmcore and the serial-port driver "
                   "(implies --link usb)")
      ->check(CLI::Range(1, 4));
  chat->add_flag("--no-modem-code", options->noModemCode, "the modem holds no modem code");
  chat->add_option("--wait", options->waitMs, "longest wait for an answer, in ms");
  chat->add_flag("--debug", options->debug, "show the debugger output on stderr");
  chat->callback([options, &result] {
    if (options->commands.empty()) {
      std::fprintf(stderr, "mdmsim chat: give the commands to send, e.g. mdmsim chat ati9\n");
      result = 2;
      return;
    }
    result = RunChat(*options);
  });
}

int ChatThroughDriver(const std::vector<std::string>& commands, int modems) {
  ChatOptions options;
  options.commands = commands;
  options.modems = modems;
  return RunUsbChat(options);
}

}  // namespace mdmsim
