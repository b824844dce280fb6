// Code of the shortcut installer includes what it may: this must compile, so that the failures of
// the forbidden includes come from the include folders alone.
#include "links/links.h"
#include "platform/shell/shlobj.h"
