// Code of the updater may not include the shortcut installer: this must not compile.
#include "links/links.h"
