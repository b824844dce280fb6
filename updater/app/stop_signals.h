// The stop signals of a run on the terminal (SIGINT, SIGTERM, SIGHUP), taken by a thread of
// their own rather than by a handler, so that what they start may lock and allocate.
#pragma once

#include <functional>

// Blocks the three signals in this thread and every thread it starts from now on, and calls
// `onSignal` with each one that arrives, on a thread of its own.
void HandStopSignalsTo(std::function<void(int)> onSignal);
