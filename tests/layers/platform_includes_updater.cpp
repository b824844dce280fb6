// Code of the stand-ins may not include the updater: this must not compile.
#include "updater/zmodem/zmodem.h"
