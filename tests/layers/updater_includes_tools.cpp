// Code of the updater may not include the tools: this must not compile.
#include "tools/mdmsim/rig.h"
