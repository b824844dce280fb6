// The in-memory extended dialog template (DLGTEMPLATEEX) that the dialog manager builds a
// dialog from, laid out from the ui layer's description of a dialog resource.
#pragma once

#include <vector>

#include "platform/ui/dialog_box.h"

namespace ui::win32 {

// The template's bytes, DWORD-aligned as the dialog manager reads them. `visible` false takes
// WS_VISIBLE off the dialog's own style.
std::vector<DWORD> BuildDialogTemplate(const DialogTemplate& dialog, bool visible);

}  // namespace ui::win32
