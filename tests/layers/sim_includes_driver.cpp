// Code of the simulated world may not include the driver: this must not compile.
#include "driver/core/devext.h"
