// Code of the driver may not include the simulated world: this must not compile.
#include "sim/world/world.h"
