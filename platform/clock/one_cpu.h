// Keeping a simulation on one CPU. Under the virtual clock the registered threads run one at a
// time, so they need only one CPU; kept on one, a hand-over of the turn between two of them is a
// switch on that CPU, not the wake-up of another, idle one (which on a virtual machine costs
// tens of microseconds, more than the work of a bus frame).
#pragma once

namespace platform::clock {

// Keeps the calling thread, and every thread it starts from now on, on the CPU it runs on now
// (within the CPUs the process may use). False where the system does not allow it.
bool StayOnOneCpu();

}  // namespace platform::clock
