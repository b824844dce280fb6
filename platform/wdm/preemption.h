// Where the kernel's processor may be held as the host's scheduler holds an ordinary thread.
// On the platform the driver was written for, its work at dispatch level is never held for a
// frame; here, on the real clock, the processor is a user-space thread that a busy host
// deschedules for milliseconds at any point of its work. A test or a fault switch asks for such
// a hold, and the processor takes it at its next preemption point: every call down a device
// stack, which is where a hold does harm (between reading the bus's frame and submitting for
// the next, say). Nothing is held unless asked: virtual time never is.
#pragma once

namespace platform::wdm::preemption {

// Any thread: the kernel's processor stops for `ms` at its next preemption point.
void Hold(int ms);

// On any thread; holds the calling thread only when it is the kernel's processor and a hold
// was asked for.
void Point();

}  // namespace platform::wdm::preemption
