// Dialog resource 102 as the resource compiler lays it out: positions and sizes in dialog units,
// the controls in tab order.
#include <array>

#include "updater/dialog/dialog.h"

namespace {

using ui::ControlKind;

constexpr std::array<ui::DialogItem, 7> kItems = {{
    {IDOK, ControlKind::kDefPushButton, "Exit", 24, 204, 60, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDC_PROGRESS, ControlKind::kProgressBar, "", 18, 174, 172, 14, WS_BORDER},
    {IDCANCEL, ControlKind::kPushButton, "Cancel", 126, 204, 60, 14, WS_TABSTOP},
    {IDC_PROCESSING_GROUP, ControlKind::kGroupBox, "Processing...", 12, 162, 184, 36,
     BS_GROUPBOX | WS_GROUP},
    {IDC_LOG, ControlKind::kEdit, "", 18, 12, 174, 118,
     ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL | WS_BORDER | WS_TABSTOP},
    {IDC_LOG_GROUP, ControlKind::kGroupBox, "Update Log", 12, 2, 184, 154, BS_GROUPBOX},
    {IDC_SAVE_LOG, ControlKind::kPushButton, "Save Log", 72, 134, 60, 14, WS_TABSTOP},
}};

}  // namespace

const ui::DialogTemplate flashUpdateTemplate = {
    IDD_FLASHUPDATE_DIALOG,
    0,
    0,
    212,
    226,
    "Modem Flash Update",
    "MS Sans Serif",
    8,
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    WS_EX_APPWINDOW,
    kItems,
};
