// How the dialog thread's messages reach it while the toolkit runs its loop, in the clock's
// terms. A stand-in thread registered with the clock watches the dialog thread's queue; when
// messages arrive it hands them to the toolkit's loop and keeps running (so virtual time stands
// still) until the dialog thread has carried them out. The dialog thread itself is known to the
// clock only while it runs the program's logic (a handler of the dialog).
#pragma once

#include "platform/ui/window.h"

namespace ui::wx {

// Starts serving the calling thread's queue from the toolkit's loop.
void StartPump();
void StopPump();

// Runs a dialog's procedure with the calling (toolkit) thread registered with the clock.
LRESULT AsDialogThread(const WindowProc& proc, HWND window, UINT message, WPARAM wParam,
                       LPARAM lParam);

// Runs fn on the toolkit's thread and waits for it: directly when called there, otherwise as a
// message sent to it (which a stop of the caller withdraws).
void RunOnToolkitThread(const std::function<void()>& fn);

}  // namespace ui::wx
