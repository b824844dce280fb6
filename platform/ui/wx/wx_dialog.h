// A modal dialog from a template with real native controls, laid out in dialog units.
#pragma once

#include "platform/ui/dialog_box.h"

namespace ui::wx {

// `extraViews` (optional) adds observers of the host's own beside the real controls' views.
INT_PTR ShowModalDialog(const DialogTemplate& dialog, WindowProc proc,
                        const ViewFactory& extraViews = {});

}  // namespace ui::wx
