// On Windows there is always a desktop to show the dialog on, and the dialog manager itself is
// the window backend.
#include "platform/ui/window_backend.h"

namespace ui {

bool StartWindowBackend(int, char**) {
  return true;
}

void StopWindowBackend() {}

}  // namespace ui
