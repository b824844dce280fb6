// Code of the stand-ins may not include the tools: this must not compile.
#include "tools/mdmsim/rig.h"
