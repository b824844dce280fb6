// The update dialog run modally on the headless backend: its template, its start, closing it
// by every means, the log and the progress bar.
#include <gtest/gtest.h>

#include "platform/ui/dialog_box.h"
#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

class DialogTest : public UpdateHarness {
 protected:
  void TearDown() override {
    ui::SetHeadlessOutput({});
    UpdateHarness::TearDown();
  }

  // Shows the dialog modally; `onLog` sees each text the log receives, on the dialog thread.
  INT_PTR RunModal(std::function<void(std::string_view)> onLog,
                   std::function<void(const ui::ProgressState&)> onProgress = {}) {
    if (startMessage == 0) startMessage = RegisterWindowMessageA(startMessageName);
    ui::SetHeadlessOutput({std::move(onLog), std::move(onProgress)});
    return dialog.DoModal();
  }

  void Post(UINT message, WPARAM wParam) { PostMessageA(theDialog->window, message, wParam, 0); }

  // A serial-port map without ports: the search ends at once with "There are no serial ports!".
  void ListNoPorts() {
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
  }

  void UseImageOf(std::size_t size) {
    std::ofstream(*image, std::ios::binary | std::ios::trunc) << std::string(size, 'I');
  }
};

TEST(DialogTemplate, Resource102HoldsSevenControlsInTabOrder) {
  EXPECT_EQ(flashUpdateTemplate.resourceId, 102);
  EXPECT_STREQ(flashUpdateTemplate.title, "Modem Flash Update");
  EXPECT_EQ(flashUpdateTemplate.cx, 212);
  EXPECT_EQ(flashUpdateTemplate.cy, 226);
  std::vector<int> ids;
  for (const ui::DialogItem& item : flashUpdateTemplate.items) ids.push_back(item.id);
  EXPECT_EQ(ids, (std::vector<int>{1, 1011, 2, 1008, 1009, 1010, 1012}));
}

TEST(WindowObjects, DestroyingAWindowDestroysEveryChild) {
  testing_support::VirtualTime time;
  int calls = 0;
  auto count = [&calls](HWND, UINT, WPARAM, LPARAM) { return ++calls; };
  HWND parent = ui::CreateWindowObject(nullptr, 0, count);
  std::vector<HWND> children;
  for (int id = 1; id <= 4; ++id) children.push_back(ui::CreateWindowObject(parent, id, count));
  ui::DestroyWindowObject(parent);
  for (HWND child : children) EXPECT_EQ(SendMessageA(child, WM_USER, 0, 0), 0);
  EXPECT_EQ(calls, 0) << "a child outlived its parent";
}

TEST(RegisteredMessage, OneNamesOneNumberOutsideTheControlsRange) {
  UINT first = RegisterWindowMessageA("Norvane_USB_Modem_Update");
  EXPECT_EQ(RegisterWindowMessageA("Norvane_USB_Modem_Update"), first);
  EXPECT_NE(RegisterWindowMessageA("another name"), first);
  EXPECT_GE(first, 0xC000u);
}

TEST_F(DialogTest, LogStringOfANumberWithoutTextAppendsNothing) {
  MakeLogWindow();
  LogString(IDS_TOOL_STARTED);
  LogString(9999);
  EXPECT_EQ(Log(), "Modem update tool started.\r\n");
}

TEST_F(DialogTest, InitialisationSetsTheIconAndStartsTheSearchOnceShown) {
  ListNoPorts();
  std::vector<std::string> texts;
  INT_PTR result = RunModal([&](std::string_view text) {
    texts.emplace_back(text);
    if (text == "There are no serial ports!") Post(WM_COMMAND, IDOK);
  });
  EXPECT_EQ(result, IDOK);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), "Modem update tool started.\r\n");
  EXPECT_NE(dialog.m_hIcon, nullptr);
  EXPECT_EQ(dialog.OnQueryDragIcon(), dialog.m_hIcon);
}

struct CloseWay {
  const char* name;
  UINT message;
  WPARAM wParam;
  INT_PTR result;
};

class ClosingTest : public DialogTest, public ::testing::WithParamInterface<CloseWay> {};

// Asked during the transfer, the first answer No keeps the dialog and the transfer; once the
// update has finished, closing asks nothing and ends the dialog.
TEST_P(ClosingTest, DuringATransferItAsksAndNoKeepsTheTransferRunning) {
  AddModem("COM3");
  UseImageOf(20000);
  boxAnswers = {IDNO};
  const CloseWay way = GetParam();
  std::string log;
  INT_PTR result = RunModal([&](std::string_view text) {
    log += text;
    if (text == "\r\nSending firmware to modem ...\r\n") Post(way.message, way.wParam);
    if (text == "Update finished!\r\n") Post(way.message, way.wParam);
  });
  EXPECT_EQ(result, way.result);
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].text, "Update is running! Cancel it ?");
  EXPECT_EQ(questions[0].caption, "mdmflash");
  EXPECT_EQ(questions[0].type, MB_YESNO | MB_ICONQUESTION);
  EXPECT_NE(log.find("Update completed successfully!"), std::string::npos);
  EXPECT_TRUE(modems[0]->WithFirmware([&](auto& f) { return f.flash().image() == ImageBytes(); }));
  EXPECT_EQ(updateWorkerThread, nullptr);
}

// Yes stops the threads in the middle of the transfer and ends the dialog.
TEST_P(ClosingTest, DuringATransferYesStopsEverything) {
  AddModem("COM3");
  UseImageOf(20000);
  boxAnswers = {IDYES};
  const CloseWay way = GetParam();
  std::string log;
  INT_PTR result = RunModal([&](std::string_view text) {
    log += text;
    if (text == "\r\nSending firmware to modem ...\r\n") Post(way.message, way.wParam);
  });
  EXPECT_EQ(result, way.result);
  EXPECT_EQ(questions.size(), 1u);
  EXPECT_EQ(log.find("Update completed successfully!"), std::string::npos);
  EXPECT_EQ(updateWorkerThread, nullptr);
  EXPECT_EQ(zmodemThread, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EveryWay, ClosingTest,
                         ::testing::Values(CloseWay{"ExitButton", WM_COMMAND,
                                                    MAKEWPARAM(IDOK, BN_CLICKED), IDOK},
                                           CloseWay{"EnterKey", WM_KEYDOWN, VK_RETURN, IDOK},
                                           CloseWay{"CancelButton", WM_COMMAND,
                                                    MAKEWPARAM(IDCANCEL, BN_CLICKED), IDCANCEL},
                                           CloseWay{"EscKey", WM_KEYDOWN, VK_ESCAPE, IDCANCEL},
                                           CloseWay{"CloseBox", WM_CLOSE, 0, IDCANCEL}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DialogTest, ProgressRunsOverTheBlocksOfTheImage) {
  AddModem("COM3");
  UseImageOf(1024);
  std::vector<ui::ProgressState> states;
  RunModal(
      [&](std::string_view text) {
        if (text == "Update finished!\r\n") Post(WM_COMMAND, IDOK);
      },
      [&](const ui::ProgressState& state) { states.push_back(state); });
  ASSERT_GE(states.size(), 5u);
  // Range 0..3 (1024 / 512 + 1), step 1, position 0; then one step per 512-byte block.
  EXPECT_EQ(states[0].low, 0);
  EXPECT_EQ(states[0].high, 3);
  EXPECT_EQ(states[1].step, 1);
  EXPECT_EQ(states[2].position, 0);
  std::vector<int> positions;
  for (std::size_t i = 3; i < states.size(); ++i) positions.push_back(states[i].position);
  EXPECT_EQ(positions, (std::vector<int>{1, 2}));
}

TEST_F(DialogTest, SaveLogClickedInTheDialogAppendsTheLog) {
  std::string file = (root.path() / "clicked.log").string();
  fileAnswers.push_back(file);
  ListNoPorts();
  RunModal([&](std::string_view text) {
    if (text != "There are no serial ports!") return;
    Post(WM_COMMAND, MAKEWPARAM(IDC_SAVE_LOG, BN_CLICKED));
    Post(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
  });
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find(">>>>\r\nModem update tool started.\r\r\nThere are no serial ports!\r\n"),
            std::string::npos)
      << bytes;
}

}  // namespace
}  // namespace update_test
