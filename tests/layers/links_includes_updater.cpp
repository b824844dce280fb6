// Code of the shortcut installer may not include the updater: this must not compile.
#include "updater/zmodem/zmodem.h"
