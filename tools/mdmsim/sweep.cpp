#include "tools/mdmsim/sweep.h"

#include <dirent.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "platform/base/root.h"
#include "platform/registry/regedit4.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/verifier.h"
#include "tools/mdmsim/faults.h"
#include "updater/serial/serial.h"

namespace mdmsim {
namespace {

// Threads of this process now. A runtime may start a thread of its own for the life of the
// process along with the process's first one (ThreadSanitizer does): one thread started and
// joined before the first count has it running already, so it is not taken for one left behind.
int ThreadCount() {
  static const bool runtimeThreadsStarted = (std::thread([] {}).join(), true);
  (void)runtimeThreadsStarted;
  int count = 0;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
    ::closedir(tasks);
  }
  return count;
}

// True once the process has no more threads than `count`. A thread that has been told to end
// (the reaper of a started program, say) may take a moment of wall time to go: up to a second.
bool ThreadsBackTo(int count) {
  for (int i = 0; i < 1000 && ThreadCount() > count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ThreadCount() <= count;
}

// The faults that hit the modem on `port`, with their strikes.
std::vector<FaultChoice> FaultsOn(const std::vector<std::string>& faults, const std::string& port) {
  std::vector<FaultChoice> hits;
  for (const std::string& text : faults) {
    FaultChoice choice = ParseFaultChoice(text);
    if (choice.fault != nullptr && (choice.port.empty() || choice.port == port)) {
      hits.push_back(choice);
    }
  }
  return hits;
}

// The parts of the log about `port`: from each "Check the modem on PORT" to the next check.
std::vector<std::string> Attempts(const std::string& log, const std::string& port) {
  static const std::string kCheck = "\r\nCheck the modem on ";
  std::vector<std::string> attempts;
  for (auto at = log.find(kCheck + port + " "); at != std::string::npos;
       at = log.find(kCheck + port + " ", at + 1)) {
    auto next = log.find(kCheck, at + 1);
    attempts.push_back(log.substr(at, next == std::string::npos ? std::string::npos : next - at));
  }
  return attempts;
}

// What the log says of the modem on `port` must agree with its flash: every transfer that was
// started ends in success or failure, and success is claimed only for a modem holding the image.
void CheckLog(const std::string& log, const UsbModemOutcome& modem,
              std::vector<std::string>& problems) {
  static const std::string kSending = "\r\nSending firmware to modem ...\r\n";
  static const std::string kDone = "\r\nUpdate completed successfully!\r\n";
  static const std::string kFailed = "\r\nSorry, update failed.\r\n";
  bool claimed = false;
  for (const std::string& attempt : Attempts(log, modem.port)) {
    bool done = attempt.find(kDone) != std::string::npos;
    bool failed = attempt.find(kFailed) != std::string::npos;
    if (attempt.find(kSending) != std::string::npos && done == failed) {
      problems.push_back(modem.port + ": a transfer without one verdict in the log");
    }
    claimed = claimed || done;
  }
  if (claimed && !modem.holdsImage) {
    problems.push_back(modem.port + ": the log claims success but the flash differs");
  }
}

void CheckModem(const UsbUpdateResult& result, const UsbModemOutcome& modem,
                const std::vector<std::string>& faults, std::vector<std::string>& problems) {
  CheckLog(result.log, modem, problems);
  bool riddenOut = true;
  bool startFault = false;
  for (const FaultChoice& choice : FaultsOn(faults, modem.port)) {
    riddenOut &= choice.fault->riddenOut;
    startFault = startFault || choice.fault->allocation == Phase::kStart;
  }
  if (!modem.started && !startFault) {
    problems.push_back(modem.port + ": not started by the driver");
  }
  if (riddenOut && !modem.holdsImage) {
    problems.push_back(modem.port + ": its faults are ridden out, yet it does not hold the image");
  }
  if (!modem.pulledOut && !modem.streamIntact) {
    problems.push_back(modem.port +
                       ": bytes handed to the driver were lost, repeated or reordered");
  }
}

// The platform root's registry file, as the driver and the updater left it, reads back.
void CheckRegistry(std::vector<std::string>& problems) {
  std::filesystem::path file = platform::Root() / "registry.reg";
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    problems.push_back("no registry file in the platform root");
    return;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  platform::registry::Tree tree;
  platform::registry::Status status = platform::registry::ParseRegedit4(text, file.string(), tree);
  if (!status.ok()) problems.push_back("the registry file does not read back: " + status.message);
}

}  // namespace

std::string DrawnRun::Describe() const {
  std::string text = "seed " + std::to_string(seed) + ": " + std::to_string(modems) +
                     (modems == 1 ? " modem" : " modems") + ", image of " +
                     std::to_string(imageSize) + " bytes, faults:";
  if (faults.empty()) text += " none";
  for (const std::string& fault : faults) text += " " + fault;
  return text;
}

DrawnRun DrawRun(unsigned seed) {
  std::mt19937 random(seed);
  DrawnRun run;
  run.seed = seed;
  // One modem in six tenths, two in three, three in one: each modem's status chain runs every
  // frame of the session, so three modems cost about thrice the time of one per second.
  static constexpr int kModems[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 3};
  run.modems = kModems[random() % std::size(kModems)];
  run.imageSize = 1024 + random() % 5120;
  const std::vector<ModemFault>& all = ModemFaults();
  for (int modem = 0; modem < run.modems; ++modem) {
    // A modem gets no fault one time in four, one in three of eight, two one time in four,
    // three one time in eight.
    static constexpr int kFaultsPerModem[] = {0, 0, 1, 1, 1, 2, 2, 3};
    for (int i = kFaultsPerModem[random() % std::size(kFaultsPerModem)]; i > 0; --i) {
      const ModemFault& fault = all[random() % all.size()];
      // A start that fails only partly can leave a modem without its port; the ports of the
      // modems plugged after it would no longer be theirs.
      int on = fault.allocation == Phase::kStart ? run.modems - 1 : modem;
      run.faults.push_back(DrawFault(fault, ComNameFor(on), random, run.imageSize));
    }
  }
  return run;
}

std::vector<std::pair<std::string, unsigned>> FaultCoverage(unsigned first, unsigned count) {
  std::vector<std::pair<std::string, unsigned>> coverage;
  for (const ModemFault& fault : ModemFaults()) coverage.emplace_back(fault.name, 0);
  for (unsigned seed = first; seed < first + count; ++seed) {
    DrawnRun run = DrawRun(seed);
    for (auto& [name, seeds] : coverage) {
      seeds += std::any_of(run.faults.begin(), run.faults.end(), [&name](const std::string& f) {
        return f.substr(0, f.find_first_of("@:")) == name;
      });
    }
  }
  return coverage;
}

void WriteDrawnImage(const DrawnRun& run, const std::string& path) {
  WriteRandomImage(path, run.imageSize, run.seed);
}

UsbUpdate UpdateWithFaults(int modems, const std::vector<std::string>& faults) {
  UsbUpdate update;
  for (int i = 0; i < modems; ++i) {
    update.modems.push_back({{SerialFor(i), u"USB Modem", true}, {}});
    for (const FaultChoice& choice : FaultsOn(faults, ComNameFor(i))) {
      AddFault(update, static_cast<std::size_t>(i), choice);
    }
  }
  return update;
}

namespace {

// What every run must leave as it found it, whatever its faults: the verifier's rules kept,
// every request completed, the registry file readable, no thread left behind.
class Aftermath {
 public:
  Aftermath() : threads_(ThreadCount()), requests_(platform::wdm::kernel::RequestsWithDrivers()) {}

  std::vector<std::string> Problems() {
    std::vector<std::string> problems = recorder_.Violations();
    // Requests the driver took and never completed, the managers' too (the verifier's unload
    // check counts only the driver's own).
    if (std::size_t left = platform::wdm::kernel::RequestsWithDrivers() - requests_) {
      problems.push_back(std::to_string(left) + " request(s) never completed by the driver");
    }
    CheckRegistry(problems);
    return problems;
  }
  bool ThreadsLeft() const { return !ThreadsBackTo(threads_); }

 private:
  int threads_;
  std::size_t requests_;
  platform::wdm::verifier::Recorder recorder_;
};

}  // namespace

std::vector<std::string> RunChecked(const UsbUpdate& update, const std::vector<std::string>& faults,
                                    UsbUpdateResult* outcome) {
  Aftermath aftermath;
  UsbUpdateResult result = RunUsbUpdate(update);
  std::vector<std::string> problems = aftermath.Problems();
  for (const UsbModemOutcome& modem : result.modems) CheckModem(result, modem, faults, problems);
  if (result.modems.size() != update.modems.size()) problems.push_back("modems missing");
  // Every wait of the session has its bound; three attempts of the slowest failure (a transfer
  // whose every answer stays away) take a little over three minutes.
  auto bound =
      std::chrono::minutes(4) * static_cast<int>(update.modems.size()) + std::chrono::seconds(30);
  if (std::chrono::milliseconds(result.virtualMs) > bound) {
    problems.push_back("the session took " + std::to_string(result.virtualMs) + " ms");
  }
  if (!result.driverStopped) problems.push_back("the driver did not stop cleanly");
  if (result.poolReport != "pool: no block outstanding\n") problems.push_back(result.poolReport);
  if (updateWorkerThread != nullptr || zmodemThread != nullptr) {
    problems.push_back("a session thread is still running");
  }
  // The window toolkit keeps threads of its own for the life of the process.
  if (!update.session.gui && aftermath.ThreadsLeft()) {
    problems.push_back("threads were left behind");
  }
  if (outcome != nullptr) *outcome = std::move(result);
  return problems;
}

std::vector<std::string> RunCheckedCall(const UsbCall& call) {
  Aftermath aftermath;
  UsbCallResult result = RunUsbCall(call);
  std::vector<std::string> problems = aftermath.Problems();
  if (!result.connected) problems.push_back("the call did not connect");
  if (!result.there.intact)
    problems.push_back("COM3's bytes reached COM4 lost, repeated or out of order");
  if (!result.back.intact)
    problems.push_back("COM4's bytes reached COM3 lost, repeated or out of order");
  if (!result.hungUp) problems.push_back("the call did not end on both sides");
  if (result.overruns != 0) problems.push_back("host bytes lost to a full transmit buffer");
  if (!result.driverStopped) problems.push_back("the driver did not stop cleanly");
  if (result.poolReport != "pool: no block outstanding\n") problems.push_back(result.poolReport);
  if (aftermath.ThreadsLeft()) problems.push_back("threads were left behind");
  return problems;
}

std::vector<std::string> Sweep(unsigned first, unsigned count) {
  std::vector<std::string> failures;
  for (unsigned seed = first; seed < first + count; ++seed) {
    platform::TemporaryRoot root("mdmsim-sweep-" + std::to_string(seed) + "-");
    if (root.path().empty()) {
      failures.push_back("seed " + std::to_string(seed) + ": no platform root could be made");
      continue;
    }
    DrawnRun run = DrawRun(seed);
    UsbUpdate update = UpdateWithFaults(run.modems, run.faults);
    update.session.imagePath = (root.path() / "firmware.bin").string();
    WriteDrawnImage(run, update.session.imagePath);
    for (const std::string& problem : RunChecked(update, run.faults)) {
      failures.push_back(run.Describe() + ": " + problem);
    }
    if (!PlacesACall(seed)) continue;
    DrawnCall drawn = DrawCall(seed);
    for (const std::string& problem : RunCheckedCall(CallOf(drawn))) {
      failures.push_back(drawn.Describe() + ": " + problem);
    }
  }
  return failures;
}

}  // namespace mdmsim
