// The two common controls the update dialog uses: a multi-line edit control and a progress
// bar, each a window that answers the platform's messages for it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/ui/window.h"

namespace ui {

// Told of every change of a control, on the control's thread: the edit control passes the
// text inserted; the progress bar passes nothing (ask it with PBM_GETPOS / ProgressState).
using ControlObserver = std::function<void(std::string_view inserted)>;

HWND CreateEditControl(HWND parent, int id, ControlObserver observer = {});
HWND CreateProgressBar(HWND parent, int id, ControlObserver observer = {});

struct ProgressState {
  int low = 0;
  int high = 100;
  int position = 0;
  int step = 10;
};
// The progress bar's state, read on the control's thread.
ProgressState GetProgressState(HWND progressBar);

}  // namespace ui
