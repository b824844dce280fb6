// The views of a dialog's controls on Win32: each control a view asks for is subclassed, and
// told of every change (the text an edit control inserts, each message that moves a progress
// bar) once the control has carried it out.
#pragma once

#include "platform/ui/dialog_box.h"

namespace ui::win32 {

void ObserveControls(HWND dialog, const DialogTemplate& dialogTemplate, const ViewFactory& views);

}  // namespace ui::win32
