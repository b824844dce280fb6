// On Windows the shell is shell32's and ole32's: shell links, special folders, change
// notification.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shlobj.h>
