// Code of the simulated world may not include the shortcut installer: this must not compile.
#include "links/links.h"
