// Code of the driver may not include the updater: this must not compile.
#include "updater/zmodem/zmodem.h"
