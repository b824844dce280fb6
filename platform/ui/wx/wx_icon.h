// The program icon (resource 128), drawn rather than loaded: a modem with its lights and an
// arrow for the new firmware.
#pragma once

#include <wx/icon.h>

namespace ui::wx {

wxIcon ProgramIcon(int size);

}  // namespace ui::wx
