#include "tools/mdmsim/serial_update.h"

#include <fstream>
#include <iterator>
#include <memory>

#include "platform/clock/virtual_clock.h"
#include "platform/ui/dialogs.h"
#include "platform/win32/inprocess_port.h"
#include "sim/modem/serial_modem.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace mdmsim {
namespace {

// A value of the serial-port map, as the driver writes it: name and data are the port name.
void ListPort(const std::string& name) {
  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>(name.size() + 1));
  RegCloseKey(key);
}

std::vector<std::uint8_t> ReadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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

}  // namespace

SerialUpdateResult RunSerialUpdate(const SerialUpdate& update) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope dialogThread("dialog");
  StartProgram();
  ui::SetFileDialogAnswer([&update](const ui::FileDialogRequest&) { return update.imagePath; });
  int sameImage = update.sameImage ? IDYES : IDNO;
  ui::SetMessageBoxAnswer([sameImage](const ui::MessageBoxRequest&) { return sameImage; });

  std::vector<std::shared_ptr<platform::win32::InProcessPort>> ports;
  for (const std::string& name : update.plainPorts) {
    ListPort(name);
    ports.push_back(platform::win32::InProcessPort::Create(name));
  }
  std::vector<std::shared_ptr<sim::modem::SerialModem>> modems;
  for (const ModemSpec& wanted : update.modems) {
    ListPort(wanted.port);
    ports.push_back(platform::win32::InProcessPort::Create(wanted.port));
    modems.push_back(sim::modem::SerialModem::Attach(ports.back(), wanted.behaviour));
  }

  CFlashUpdateDlg dialog;
  CreateUpdateDialog(dialog, [&update](std::string_view text) {
    if (update.onLog) update.onLog(text);
  });
  ui::PumpMessages(SessionOver);
  SerialUpdateResult result;
  result.log = LogText();
  StopSession();
  DestroyUpdateDialog(dialog);
  ui::SetFileDialogAnswer({});
  ui::SetMessageBoxAnswer({});

  result.virtualMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock.clock().Now()).count();
  std::vector<std::uint8_t> image = ReadImage(update.imagePath);
  for (std::size_t i = 0; i < modems.size(); ++i) {
    ModemOutcome outcome{update.modems[i].port};
    outcome.offered =
        result.log.find("Check the modem on " + outcome.port + " ") != std::string::npos;
    outcome.holdsImage = modems[i]->WithFirmware(
        [&image](auto& firmware) { return firmware.flash().image() == image; });
    result.modems.push_back(outcome);
  }
  return result;
}

}  // namespace mdmsim
