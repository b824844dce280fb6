// The shell as far as mdmlinks uses it: shell links with their persist interface, the special
// folders as item ID lists, and change notification.
#pragma once

#include "platform/shell/objbase.h"

struct HWND__;
using HWND = HWND__*;

inline constexpr CLSID CLSID_ShellLink{0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IShellLinkA{0x000214EE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IPersistFile{0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The longest description a shell link keeps, in characters.
constexpr int INFOTIPSIZE = 1024;

// A shell link with 8-bit strings. The stand-in offers the operations mdmlinks calls.
struct IShellLinkA : IUnknown {
  virtual HRESULT SetDescription(LPCSTR description) = 0;
  virtual HRESULT SetPath(LPCSTR file) = 0;

 protected:
  ~IShellLinkA() = default;
};

// Saving an object to a file named by a UTF-16 path.
struct IPersistFile : IUnknown {
  // Writes the object to `fileName` (null: the file remembered last). With `remember` TRUE the
  // object remembers the name as its current file.
  virtual HRESULT Save(LPCOLESTR fileName, BOOL remember) = 0;

 protected:
  ~IPersistFile() = default;
};

// Item ID lists: a chain of items, each starting with its size in bytes, ended by a size 0.
#pragma pack(push, 1)
struct SHITEMID {
  USHORT cb;
  BYTE abID[1];
};
struct ITEMIDLIST {
  SHITEMID mkid;
};
#pragma pack(pop)
using LPITEMIDLIST = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;

constexpr int CSIDL_PROGRAMS = 0x0002;

// The item ID list of a special folder (here CSIDL_PROGRAMS, created when missing), allocated
// with CoTaskMemAlloc; the caller frees it with CoTaskMemFree.
HRESULT SHGetSpecialFolderLocation(HWND owner, int folder, LPITEMIDLIST* idList);
// The file-system path of an item ID list into `path` (room for MAX_PATH characters). FALSE
// with an empty `path` when the list names no file-system folder or its path does not fit.
BOOL SHGetPathFromIDListA(LPCITEMIDLIST idList, LPSTR path);
inline BOOL SHGetPathFromIDList(LPCITEMIDLIST idList, LPSTR path) {
  return SHGetPathFromIDListA(idList, path);
}

constexpr LONG SHCNE_MKDIR = 0x00000008;
constexpr UINT SHCNF_IDLIST = 0x0000;
constexpr UINT SHCNF_PATHA = 0x0001;

// Tells the shell that something in the file system changed. The stand-in records each call
// (platform/shell/shell_state.h).
void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2);
