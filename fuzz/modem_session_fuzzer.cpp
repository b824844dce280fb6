// A whole update session headless in virtual time against modems whose every answer comes from
// the input: the answers to "ati9" in the search, to "at@d" or "x", to each ZModem frame and to
// the closing "OO", and the answers to the session's questions. Whatever the modems say, the
// session must end with every thread stopped and every handle closed, its port table must be
// consistent, and it must never report an update as successful unless the whole image went out
// and the modem's reply to "OO" holds no "ERROR".
//
// Each answer is one string of the input as FuzzedDataProvider reads it (a backslash and
// another character end it; two backslashes are one); an empty answer is silence. The last
// bytes of the input choose the image size, the number of modems and the questions' answers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/root.h"
#include "platform/clock/clock.h"
#include "platform/clock/virtual_clock.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/window.h"
#include "platform/win32/inprocess_port.h"
#include "platform/win32/objects.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"
#include "updater/zmodem/zmodem.h"

namespace {

using platform::clock::Milliseconds;

constexpr const char* kMapKey = "Hardware\\Devicemap\\Serialcomm";
constexpr std::size_t kAnswerRoom = 64;  // keeps every answer of a transfer within the reply
constexpr std::size_t kLargestImage = 1100;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "modem_session_fuzzer: %s\n", what.c_str());
  std::abort();
}

// A modem that answers every write with the input's next string, 1 ms later, and checks what it
// is sent: "OO" only after a whole image, and how many "OO" got a reply without "ERROR".
struct FuzzedModem : platform::win32::CommDevice {
  FuzzedModem(FuzzedDataProvider& input, std::size_t blocks) : input(input), blocks(blocks) {}

  std::size_t OnTransmit(platform::win32::InProcessPort& port,
                         std::span<const BYTE> bytes) override {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string reply = input.ConsumeRandomLengthString(kAnswerRoom);
    Note(text, reply);
    if (!reply.empty()) {
      auto& clock = platform::clock::Current();
      clock.Schedule(clock.Now() + Milliseconds(1), [target = port.weak_from_this(), reply] {
        if (auto live = target.lock()) live->Deliver(std::vector<BYTE>(reply.begin(), reply.end()));
      });
    }
    return bytes.size();
  }

  void Note(std::string_view text, const std::string& reply) {
    if (text == "rz\r\n") dataFrames = 0;
    // A binary ZDATA header: ZPAD ZDLE ZBIN and the type.
    if (text.size() > 3 &&
        text.substr(0, 3) ==
            "*\x18"
            "A" &&
        text[3] == ZDATA) {
      ++dataFrames;
    }
    if (text != "OO") return;
    if (dataFrames != blocks) Fail("\"OO\" before the whole image went out");
    if (reply.find("ERROR") == std::string::npos) ++goodEnds;
  }

  FuzzedDataProvider& input;
  std::size_t blocks;
  std::size_t dataFrames = 0;
  int goodEnds = 0;
};

int Count(std::string_view log, std::string_view text) {
  int count = 0;
  for (auto at = log.find(text); at != std::string_view::npos; at = log.find(text, at + 1)) {
    ++count;
  }
  return count;
}

// The port table after the search: flags in range, the count of modems matching them.
void CheckTable() {
  int modems = 0;
  for (const PortEntry& entry : updateSession.PortTable) {
    if (entry.isUsbModem < 0 || entry.isUsbModem > 1) Fail("a port's modem flag is out of range");
    if (entry.noModemCode != 0 && entry.isUsbModem != 1) Fail("modem code of a port no modem");
    modems += entry.isUsbModem;
  }
  if (updateSession.portCount > 0 && modems != updateSession.modemCount) {
    Fail("the modem count does not match the table");
  }
}

class Session {
 public:
  explicit Session(FuzzedDataProvider& input) : input_(input) {
    updateSession = UpdateSession{};
    imageFile = ImageFile{};
    commPortSession = CommPortSession{};
    // An empty image is refused before any transfer.
    std::size_t size = input.ConsumeIntegralInRange<std::size_t>(1, kLargestImage);
    std::size_t blocks = (size + kBlockSize - 1) / kBlockSize;
    std::ofstream(image_, std::ios::binary | std::ios::trunc) << std::string(size, 'F');
    int count = input.ConsumeBool() ? 2 : 1;
    for (int i = 0; i < count; ++i) AddModem("COM" + std::to_string(3 + i), blocks);
    ui::SetMessageBoxAnswer(
        [&input](const ui::MessageBoxRequest&) { return input.ConsumeBool() ? IDYES : IDNO; });
    ui::SetFileDialogAnswer([this](const ui::FileDialogRequest&) { return image_; });
  }

  ~Session() {
    StopSession();
    if (dialog_.window != nullptr) DestroyUpdateDialog(dialog_);
    ui::SetMessageBoxAnswer({});
    ui::SetFileDialogAnswer({});
    // The store keeps the map in memory: gone again, nothing of the input outlives it, so that
    // libFuzzer's leak check (run when an input ends with more blocks than it began) stays
    // quiet unless something really leaked.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kMapKey);
  }

  void Run() {
    CreateUpdateDialog(dialog_);
    ui::PumpMessages([] {
      std::string log = LogText();
      return (!log.empty() && updateWorkerThread == nullptr) ||
             log.ends_with("Update finished!\r\n");
    });
    // MDM_FUZZ_LOG=1 shows each session's log, to follow an input found by the fuzzer.
    if (std::getenv("MDM_FUZZ_LOG") != nullptr) std::fprintf(stderr, "%s\n", LogText().c_str());
    CheckTable();
    int goodEnds = 0;
    for (const auto& modem : modems_) goodEnds += modem->goodEnds;
    if (Count(LogText(), "Update completed successfully!") > goodEnds) {
      Fail("success reported without a clean reply to \"OO\"");
    }
  }

 private:
  void AddModem(const std::string& name, std::size_t blocks) {
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMapKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
    RegCloseKey(key);
    auto port = platform::win32::InProcessPort::Create(name);
    port->SetModemStatus(MS_CTS_ON | MS_DSR_ON);
    auto modem = std::make_shared<FuzzedModem>(input_, blocks);
    port->SetDevice(modem);
    ports_.push_back(port);
    modems_.push_back(modem);
  }

  FuzzedDataProvider& input_;
  std::string image_ = (platform::Root() / "modem.bin").string();
  CFlashUpdateDlg dialog_;
  std::vector<std::shared_ptr<platform::win32::InProcessPort>> ports_;
  std::vector<std::shared_ptr<FuzzedModem>> modems_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static platform::TemporaryRoot root("mdm-fuzz-");
  static bool once = (RegisterUpdaterStrings(), true);
  (void)once;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  {
    platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
    platform::clock::ThreadScope thread("fuzz main");
    FuzzedDataProvider input(data, size);
    Session session(input);
    session.Run();
  }
  if (updateWorkerThread != nullptr || zmodemThread != nullptr) Fail("a thread was left");
  if (platform::win32::OpenHandleCount() != handlesBefore) Fail("a handle was left open");
  return 0;
}
