// Code of the simulated world may not include the tools: this must not compile.
#include "tools/mdmsim/rig.h"
