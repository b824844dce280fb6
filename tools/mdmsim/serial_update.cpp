#include "tools/mdmsim/serial_update.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "platform/clock/virtual_clock.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/window_backend.h"
#include "platform/ui/wx/wx_dialog.h"
#include "platform/win32/inprocess_port.h"
#include "sim/modem/serial_modem.h"
#include "tools/mdmsim/serial_map.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace mdmsim {
namespace {

// Over when the session ended without starting the worker, or the worker reported the end.
bool SessionOver() {
  std::string log = LogText();
  return (!log.empty() && updateWorkerThread == nullptr) || log.ends_with("Update finished!\r\n");
}

// Resets what a run of the program starts with.
void StartProgram() {
  RegisterUpdaterStrings();
  updateSession = UpdateSession{};
  imageFile = ImageFile{};
  commPortSession = CommPortSession{};
}

// Posted to the dialog when the session has nothing more to do.
constexpr UINT kSessionOver = WM_USER + 0x200;

// The session in the real window: the log is echoed as it grows, and once the session is over
// the window stays for `holdMs` of wall time and is then closed with Exit.
std::string RunInWindow(const SerialUpdate& update) {
  std::string log;
  std::thread closer;
  CFlashUpdateDlg dialog;
  auto proc = [&](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
    if (message == kSessionOver) {
      closer = std::thread([window, holdMs = update.guiHoldMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      });
      return 0;
    }
    LRESULT result = FlashUpdateDialogProc(dialog, window, message, w, l);
    if (message == startMessage && updateWorkerThread == nullptr) {
      PostMessageA(window, kSessionOver, 0, 0);
    }
    return result;
  };
  auto echo = [&](HWND window, const ui::DialogItem& item) -> ui::ControlObserver {
    if (item.id != IDC_LOG) return {};
    return [&, window](std::string_view text) {
      log += text;
      if (update.onLog) update.onLog(text);
      if (text == "Update finished!\r\n") PostMessageA(window, kSessionOver, 0, 0);
    };
  };
  startMessage = RegisterWindowMessageA(startMessageName);
  ui::wx::ShowModalDialog(flashUpdateTemplate, proc, echo);
  if (closer.joinable()) closer.join();
  return log;
}

}  // namespace

// Only a regular file is read: a pipe or a device might never end (or never begin).
std::vector<std::uint8_t> ReadImage(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return {};
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// 2001-09-09 01:46:40 UTC.
constexpr std::chrono::seconds kImageTime{1000000000};

void WriteRandomImage(const std::string& path, std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(path, std::ios::binary) << bytes;
  // The sender puts the file's modification time into the file information it sends, so a run
  // would depend on the moment its image was made: generated images all carry one fixed time.
  std::error_code error;
  std::filesystem::last_write_time(
      path, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(kImageTime)), error);
}

const std::string& ImageFor(const SerialUpdate& update, const std::string& port) {
  auto it = update.imageByPort.find(port);
  return it != update.imageByPort.end() ? it->second : update.imagePath;
}

std::string RunSessionToEnd(const SerialUpdate& update,
                            std::optional<platform::clock::ThreadScope>& dialogThread) {
  StartProgram();
  bool window = update.gui && ui::StartWindowBackend(0, nullptr);
  // The dialog's title ends with the port it chooses for ("... for the modem on COM3").
  ui::SetFileDialogAnswer([&update](const ui::FileDialogRequest& request) {
    return ImageFor(update, request.title.substr(request.title.rfind(' ') + 1));
  });
  // The only other question is whether to cancel a running update: Exit means Yes.
  int sameImage = update.sameImage ? IDYES : IDNO;
  ui::SetMessageBoxAnswer([sameImage](const ui::MessageBoxRequest& request) {
    return request.text == "Update is running! Cancel it ?" ? IDYES : sameImage;
  });
  std::string log;
  if (window) {
    // The toolkit's thread is known to the clock only while it runs the dialog's handlers.
    dialogThread.reset();
    log = RunInWindow(update);
    dialogThread.emplace("dialog");
    ui::StopWindowBackend();
  } else {
    CFlashUpdateDlg dialog;
    CreateUpdateDialog(dialog, [&update](std::string_view text) {
      if (update.onLog) update.onLog(text);
      if (!update.exitOn.empty() && text == update.exitOn) {
        PostMessageA(theDialog->window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      }
    });
    ui::PumpMessages(SessionOver);
    log = LogText();
    StopSession();
    DestroyUpdateDialog(dialog);
  }
  ui::SetFileDialogAnswer({});
  ui::SetMessageBoxAnswer({});
  return log;
}

bool WasOffered(const std::string& log, const std::string& port) {
  return log.find("Check the modem on " + port + " ") != std::string::npos;
}

SerialUpdateResult RunSerialUpdate(const SerialUpdate& update) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  std::optional<platform::clock::ThreadScope> dialogThread;
  dialogThread.emplace("dialog");
  std::vector<std::shared_ptr<platform::win32::InProcessPort>> ports;
  for (const std::string& name : update.plainPorts) {
    ListPort(name);
    ports.push_back(platform::win32::InProcessPort::Create(name));
  }
  std::vector<std::shared_ptr<sim::modem::SerialModem>> modems;
  for (const ModemSetup& wanted : update.modems) {
    ListPort(wanted.port);
    ports.push_back(platform::win32::InProcessPort::Create(wanted.port));
    modems.push_back(sim::modem::SerialModem::Attach(ports.back(), wanted.behaviour));
  }

  SerialUpdateResult result;
  result.log = RunSessionToEnd(update, dialogThread);
  result.virtualMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock.clock().Now()).count();
  for (std::size_t i = 0; i < modems.size(); ++i) {
    ModemOutcome outcome{update.modems[i].port};
    outcome.offered = WasOffered(result.log, outcome.port);
    std::vector<std::uint8_t> image = ReadImage(ImageFor(update, outcome.port));
    outcome.holdsImage = modems[i]->WithFirmware(
        [&image](auto& firmware) { return firmware.flash().image() == image; });
    result.modems.push_back(outcome);
  }
  return result;
}

}  // namespace mdmsim
