// Folders and file search of Win32 as far as mdmlinks uses them, and the Windows directory.
// Paths are the platform's, with "\" as separator; the stand-in maps them to host paths.
#pragma once

#include "platform/win32/windows.h"

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
static_assert(sizeof(WIN32_FIND_DATAA) == 320, "WIN32_FIND_DATAA is 320 bytes on the platform");
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;

// ERROR_ALREADY_EXISTS when the folder exists, ERROR_PATH_NOT_FOUND when its parent is missing.
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
// Only an empty folder goes (ERROR_DIR_NOT_EMPTY otherwise; ERROR_DIRECTORY for a file).
BOOL RemoveDirectoryA(LPCSTR path);
// Only files go: a folder or a read-only file is refused with ERROR_ACCESS_DENIED.
BOOL DeleteFileA(LPCSTR path);

// Searches a folder for names matching the last part of `pattern` ("*" and "?", case-insensitive;
// "*.*" matches every name). As on the platform, a folder's own "." and ".." come first. The
// folder is read when the search starts, so deleting entries during the search is safe.
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
// FALSE with ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE search);

// The Windows directory of the platform root, without a trailing separator. Returns its length,
// or the room it needs (terminator included) when `size` is too small; then nothing is written.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
