// Runs the update session headless in virtual time: a fresh platform root whose serial-port map
// lists in-process COM ports, simulated modems behind some of them, the dialog on the test's
// thread, and scripted answers to the questions and file dialogs.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/dialogs.h"
#include "platform/win32/debug.h"
#include "platform/win32/inprocess_port.h"
#include "platform/win32/objects.h"
#include "sim/modem/serial_modem.h"
#include "tests/support/temp_root.h"
#include "tests/support/virtual_time.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"
#include "updater/zmodem/zmodem.h"

namespace update_test {

class UpdateHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterUpdaterStrings();
    updateSession = UpdateSession{};
    imageFile = ImageFile{};
    commPortSession = CommPortSession{};
    ui::SetMessageBoxAnswer([this](const ui::MessageBoxRequest& request) {
      questions.push_back(request);
      int answer = boxAnswers.empty() ? IDNO : boxAnswers.front();
      if (!boxAnswers.empty()) boxAnswers.pop_front();
      return answer;
    });
    ui::SetFileDialogAnswer([this](const ui::FileDialogRequest& request) {
      fileDialogs.push_back(request);
      std::optional<std::string> answer = fileAnswers.empty() ? image : fileAnswers.front();
      if (!fileAnswers.empty()) fileAnswers.pop_front();
      return answer;
    });
    image = (root.path() / "modem.bin").string();
    std::ofstream(*image, std::ios::binary) << std::string(1000, 'F');
  }

  void TearDown() override {
    StopSession();
    if (dialog.window != nullptr) DestroyUpdateDialog(dialog);
    ui::SetMessageBoxAnswer({});
    ui::SetFileDialogAnswer({});
    EXPECT_EQ(updateWorkerThread, nullptr);
    EXPECT_EQ(zmodemThread, nullptr);
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore) << "a handle was left open";
  }

  // A value in the serial-port map, as the driver writes it: name and data are the port name.
  void ListPort(const std::string& name, const std::string& data) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
  }

  // A serial port with nothing behind it that answers.
  std::shared_ptr<platform::win32::InProcessPort> AddPlainPort(const std::string& name) {
    ListPort(name, name);
    auto port = platform::win32::InProcessPort::Create(name);
    ports.push_back(port);
    return port;
  }

  std::shared_ptr<sim::modem::SerialModem> AddModem(const std::string& name,
                                                    sim::modem::Behaviour behaviour = {},
                                                    DWORD lineStatus = MS_CTS_ON | MS_DSR_ON) {
    auto port = AddPlainPort(name);
    auto modem = sim::modem::SerialModem::Attach(port, std::move(behaviour), lineStatus);
    modems.push_back(modem);
    return modem;
  }

  // Only the dialog's log, for tests of single operations: no session starts.
  void MakeLogWindow() {
    dialog.window =
        ui::CreateWindowObject(nullptr, 0, [](HWND, UINT, WPARAM, LPARAM) { return 0; });
    dialog.logWindow = ui::CreateEditControl(dialog.window, IDC_LOG);
    theDialog = &dialog;
  }

  // Shows the dialog and serves its messages until `done` holds for the log.
  void RunUntil(const std::function<bool(const std::string&)>& done) {
    if (dialog.window == nullptr) CreateUpdateDialog(dialog);
    ui::PumpMessages([&] { return done(LogText()); });
  }

  // Until the session has nothing more to do: it ended without starting the worker, or the
  // worker has logged "Update finished!".
  void RunToEnd() {
    RunUntil([](const std::string& log) {
      bool ended = !log.empty() && updateWorkerThread == nullptr;
      return ended || log.ends_with("Update finished!\r\n");
    });
  }

  std::string Log() { return LogText(); }

  std::vector<std::uint8_t> ImageBytes() const {
    std::ifstream in(*image, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  testing_support::VirtualTime time;
  testing_support::TempRoot root;
  std::size_t handlesBefore = platform::win32::OpenHandleCount();
  platform::win32::debug::Capture debug;
  CFlashUpdateDlg dialog;
  std::vector<std::shared_ptr<platform::win32::InProcessPort>> ports;
  std::vector<std::shared_ptr<sim::modem::SerialModem>> modems;
  std::optional<std::string> image;  // what the file dialog answers when nothing is scripted
  std::deque<std::optional<std::string>> fileAnswers;
  std::deque<int> boxAnswers;
  std::vector<ui::MessageBoxRequest> questions;
  std::vector<ui::FileDialogRequest> fileDialogs;
};

}  // namespace update_test
