// Paths in the platform's fixed buffers of MAX_PATH characters. Every change checks the room
// first: a path that would not fit is left as it was and the caller is told, so a long platform
// root makes an operation fail instead of overrunning a buffer.
#pragma once

#include "platform/win32/windows.h"

namespace mdmlinks {

using PathBuffer = char[MAX_PATH];

// Copies `text` into `path`; false (and `path` empty) when it does not fit.
bool CopyPath(PathBuffer& path, LPCSTR text);
// Appends `text`; false (and `path` unchanged) when the result would not fit.
bool AppendPath(PathBuffer& path, LPCSTR text);
// Appends "\" unless the path already ends in one; false when it does not fit.
bool EndWithSeparator(PathBuffer& path);

}  // namespace mdmlinks
