// Code of the driver includes what it may: this must compile, so that the failures of
// the forbidden includes come from the include folders alone.
#include "driver/core/devext.h"
#include "platform/wdm/wdm.h"
