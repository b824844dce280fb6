// mdmlinks: puts the modem's utilities into the Start menu as the group "USB Modem Utility 02"
// with two shortcuts, or takes the group out again. It shows nothing; its diagnostics go to the
// debugger output.
#pragma once

#include "links/paths.h"
#include "platform/shell/shlobj.h"

namespace mdmlinks {

// The whole program for the text after the program name: empty creates the group, a first
// character "d" removes it, anything else does nothing. COM is initialised around the work.
// Always 0.
int RunLinks(LPCSTR commandLine);

// Saves a shell link at `link` that starts `target`; the save's result, or the failure of
// creating the link object or getting its persist interface.
HRESULT CreateLink(LPCSTR target, LPCSTR link, LPCSTR description);

// The group folder: the Start-menu Programs folder, "\", "USB Modem Utility 02". False when the
// Programs folder cannot be found or the path does not fit.
bool GetGroupPath(PathBuffer& group);

// Creates the group folder, announces it to the shell and saves both shortcuts into it.
void CreateGroup();
// Deletes every file of the group whose name does not begin with "." and then the folder, which
// goes only if that left it empty.
void RemoveGroup();

}  // namespace mdmlinks
