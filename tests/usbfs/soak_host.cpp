// The soak run's host of the emulated bus: a usbfs testbed with simulated modems on one
// telephone line (the first answers to "3", the next to "4", ...), and the built mdmd running
// against it (its ioctls reach this process's testbed through umockdev's preload, inherited).
// The soak script drives it with one command a line on standard input and reads one answer a
// line on standard output:
//   start           mdmd is started (its log appended to LOG)       -> "pid PID"
//   stop | kill     SIGTERM or SIGKILL to mdmd, waited for          -> "exit STATUS" (-SIG: killed)
//   unplug N        modem N (from 0) leaves the bus                 -> "ok"
//   plug N          it comes back, powered up afresh                 -> "ok"
//   flash N         modem N's flash                                 -> "flash SIZE FNV1A"
// The modems start unplugged. End of input, SIGINT or SIGTERM stop mdmd with SIGTERM and end the
// host (0, or 128 + the signal). Usage: usbfs_soak_host MDMD LOG MODEMS RFC2217_BASE
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "sim/modem/phone_line.h"
#include "sim/usbdevice/modem.h"
#include "tests/usbfs/usbfs_testbed.h"

namespace {

using sim::usbdevice::UsbModem;

volatile sig_atomic_t stopSignal = 0;

void OnStop(int signal) {
  stopSignal = signal;
}

struct Host {
  std::string mdmd;
  std::string log;
  std::string rfc2217Base;
  tests::usbfs::UsbfsTestbed testbed;
  std::shared_ptr<sim::modem::PhoneLine> phoneLine =
      std::make_shared<sim::modem::PhoneLine>(sim::modem::LineConfig{1000000});
  std::vector<std::shared_ptr<UsbModem>> modems;  // null while unplugged
  std::vector<int> devices;  // each modem's device number on the bus; 0: unplugged
  pid_t child = 0;

  std::u16string Serial(std::size_t index) {
    std::string text = "0000C0FFEE0" + std::to_string(index + 1);
    return {text.begin(), text.end()};
  }
  // A modem plugged in powers up afresh, on its number on the line.
  void Plug(std::size_t index) {
    if (devices[index] != 0) return;
    modems[index] =
        std::make_shared<UsbModem>(sim::usbdevice::ModemIdentity{Serial(index), u"Modem"});
    modems[index]->PlugIntoLine(phoneLine, std::to_string(3 + index));
    devices[index] =
        testbed.Add(modems[index], sim::usbdevice::ModemDescriptors({Serial(index), u"Modem"}));
  }
  // Unplugged, it loses its power: its call ends, and it keeps nothing.
  void Unplug(std::size_t index) {
    if (devices[index] == 0) return;
    testbed.Remove(devices[index]);
    devices[index] = 0;
    modems[index].reset();
  }
  pid_t Start() {
    if (child > 0) return child;
    child = ::fork();
    if (child == 0) {
      int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execl(mdmd.c_str(), mdmd.c_str(), "--rfc2217-base", rfc2217Base.c_str(), nullptr);
      ::_exit(127);
    }
    return child;
  }
  // SIGTERM or SIGKILL, waited for: the exit status, or minus the signal that ended it.
  int Stop(int signal) {
    if (child <= 0) return 0;
    ::kill(child, signal);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    child = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string Flash(std::size_t index) {
    if (modems[index] == nullptr) return "flash none";
    std::vector<std::uint8_t> image =
        testbed.WithDevices([&] { return modems[index]->firmware().flash().image(); });
    std::uint32_t hash = 2166136261u;
    for (std::uint8_t byte : image) hash = (hash ^ byte) * 16777619u;
    char text[64];
    std::snprintf(text, sizeof(text), "flash %zu %08" PRIx32, image.size(), hash);
    return text;
  }
  std::string Command(const std::string& line) {
    std::size_t space = line.find(' ');
    std::string verb = line.substr(0, space);
    std::size_t index =
        space == std::string::npos ? 0 : std::strtoul(&line[space + 1], nullptr, 10);
    if (index >= modems.size()) return "error: no modem " + std::to_string(index);
    if (verb == "start") return "pid " + std::to_string(Start());
    if (verb == "stop") return "exit " + std::to_string(Stop(SIGTERM));
    if (verb == "kill") return "exit " + std::to_string(Stop(SIGKILL));
    if (verb == "unplug") return Unplug(index), "ok";
    if (verb == "plug") return Plug(index), "ok";
    if (verb == "flash") return Flash(index);
    return "error: unknown command " + verb;
  }
};

// One line of standard input, without its newline; false at its end or on a stop signal.
bool ReadLine(std::string& line) {
  line.clear();
  char c;
  for (;;) {
    ssize_t got = ::read(0, &c, 1);
    if (got < 0 && errno == EINTR && stopSignal == 0) continue;
    if (got <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
}

}  // namespace

int main(int argc, char** argv) {
  tests::usbfs::RunUnderUsbfsPreload(argc, argv);
  if (argc != 5 || std::atoi(argv[3]) < 1) {
    std::fprintf(stderr, "usage: usbfs_soak_host MDMD LOG MODEMS RFC2217_BASE\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = OnStop;  // no SA_RESTART: the read of a command ends
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  platform::clock::ThreadScope main{"soak host"};
  Host host;
  host.mdmd = argv[1];
  host.log = argv[2];
  host.rfc2217Base = argv[4];
  for (int i = 0; i < std::atoi(argv[3]); ++i) {
    host.modems.push_back(nullptr);  // plugged in on command
    host.devices.push_back(0);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string command;
  while (ReadLine(command)) {
    std::printf("%s\n", host.Command(command).c_str());
    std::fflush(stdout);
  }
  host.Stop(SIGTERM);
  return stopSignal == 0 ? 0 : 128 + stopSignal;
}
