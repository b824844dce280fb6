// Code of the updater includes what it may: this must compile, so that the failures of
// the forbidden includes come from the include folders alone.
#include "platform/win32/windows.h"
#include "updater/zmodem/zmodem.h"
