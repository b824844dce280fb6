// Code of the stand-ins includes what it may: this must compile, so that the failures of
// the forbidden includes come from the include folders alone.
#include "platform/usb/usb.h"
#include "platform/win32/windows.h"
