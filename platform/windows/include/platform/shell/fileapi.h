// On Windows folders and file search are kernel32's.
#pragma once

#include <windows.h>
