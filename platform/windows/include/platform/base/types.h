// On Windows the platform's basic types are the real ones.
#pragma once

#include <windows.h>
