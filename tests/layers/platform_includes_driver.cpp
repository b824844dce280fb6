// Code of the stand-ins may not include the driver: this must not compile.
#include "driver/core/devext.h"
