// What the platform says about a host file: its attributes and times in the platform's form,
// and the error codes of failed folder and file calls.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/win32/windows.h"

namespace platform::shell {

// Folder, archive (every file) and read-only (no owner write bit, as the win32 stand-in has it).
DWORD AttributesOf(const struct stat& info);
// 100 ns units since 1601-01-01, as the platform counts time; 0 for times before that.
FILETIME FileTimeOf(const struct timespec& time);

// The error for a path that is not there: ERROR_FILE_NOT_FOUND when its folder exists,
// ERROR_PATH_NOT_FOUND when the folder is missing too.
DWORD MissingError(const std::string& hostPath);

}  // namespace platform::shell
