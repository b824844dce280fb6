// The program's string resources: every text the user sees has a number.
#pragma once

#include "platform/base/types.h"

#define MDM_STRING(name, number, text) constexpr UINT name = number;
#include "updater/dialog/strings.inc"
#undef MDM_STRING

// Registers the table with the platform's string resources (once, at program start).
void RegisterUpdaterStrings();
