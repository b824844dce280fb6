// How mdmsim stops on SIGINT, SIGTERM or SIGHUP: at once, with exit status 128 + the signal, once
// the command's stop handler (if it set one) has put things in order and the scratch platform roots
// are gone.
#pragma once

#include <functional>

namespace mdmsim {

// Called from main before the command runs.
void StopOnSignals();
// `handler` runs on the stopping thread when a stop signal arrives, and the program ends when
// it returns. A command that serves other programs sets one to close what it opened for them.
void SetStopHandler(std::function<void()> handler);
// The command's `result`, to return from main; when a stop signal has arrived meanwhile it never
// returns, so that the stop ends the program with the signal's status and nothing is torn down
// under it.
int ResultUnlessStopped(int result);

}  // namespace mdmsim
