// On Windows code-page conversion is kernel32's.
#pragma once

#include <windows.h>
