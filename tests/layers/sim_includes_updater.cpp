// Code of the simulated world may not include the updater: this must not compile.
#include "updater/zmodem/zmodem.h"
