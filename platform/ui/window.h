// Windows of the ui stand-in: each belongs to the thread that created it, which carries out
// its messages. A message sent from another thread waits in that thread's queue until the
// owner pumps it; the sender is blocked meanwhile, in a clock-aware wait that a stop of the
// sender's thread interrupts (the message is then withdrawn if it has not started).
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/ui/winuser.h"

namespace ui {

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// Makes a window owned by the calling thread. A child is found by its id with GetDlgItem.
HWND CreateWindowObject(HWND parent, int id, WindowProc proc);
// Destroys a window and its children; messages still queued for them are answered with 0.
void DestroyWindowObject(HWND window);

// Carries out the calling thread's queued messages (sent ones first, then posted ones) until
// done() is true, waiting on the clock while the queue is empty. done() is checked after each
// message and while waiting it is re-checked whenever a message arrives or Wake is called.
// Returns false when the thread was interrupted.
bool PumpMessages(const std::function<bool()>& done);

// Carries out what is queued now, without waiting.
void PumpPendingMessages();

// Makes PumpMessages of every thread re-check its condition.
void Wake();

// The calling thread's message queue, for a backend whose toolkit runs the thread's loop and
// must learn when messages arrive.
struct MessageQueue;
std::shared_ptr<MessageQueue> ThisThreadsMessageQueue();
// Whether messages wait in `queue`; under the clock's mutex.
bool HasMessagesLocked(const MessageQueue& queue);

}  // namespace ui
