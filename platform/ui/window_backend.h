// The window backend of the ui layer: real native windows through wxWidgets. Programs that can
// show a window start it; the headless backend serves everything else.
#pragma once

namespace ui {

// Opens the toolkit on the display and installs the window backend for modal dialogs, message
// boxes and file dialogs. False, with nothing installed, when no display can be opened.
bool StartWindowBackend(int argc, char** argv);
// Closes the toolkit and puts the headless backend back.
void StopWindowBackend();

}  // namespace ui
