// Code of the simulated world includes what it may: this must compile, so that the failures of
// the forbidden includes come from the include folders alone.
#include "platform/usb/usb.h"
#include "sim/world/world.h"
