// Code of the shortcut installer may not include the driver: this must not compile.
#include "driver/core/devext.h"
