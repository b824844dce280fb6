// What the platform says about a host file (its attributes and times in the platform's form come
// from the win32 stand-in), and the error codes of failed folder and file calls.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/win32/files.h"
#include "platform/win32/windows.h"

namespace platform::shell {

using platform::win32::AttributesOf;
using platform::win32::FileTimeOf;

// The error for a path that is not there: ERROR_FILE_NOT_FOUND when its folder exists,
// ERROR_PATH_NOT_FOUND when the folder is missing too.
DWORD MissingError(const std::string& hostPath);

}  // namespace platform::shell
