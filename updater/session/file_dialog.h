// The standard open-file dialog as both file dialogs of the program fill it (the image and the
// log file): a filter of the program's files and all files, a preset from the path chosen last,
// flags OFN_EXPLORER | OFN_CREATEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY.
#pragma once

#include "platform/ui/winuser.h"

struct FileChoice {
  UINT filterId;            // string that describes the first filter
  const char* pattern;      // the first filter's pattern, e.g. "*.bin"
  const char* initialName;  // the file name field when nothing was chosen before
  const char* title;
  char (&lastPath)[256];  // the path chosen last; emptied by a cancelled dialog
  char (&folder)[256];    // the start folder derived from it; kept while lastPath is empty
};

// Shows the dialog; returns lastPath holding the chosen path, or null.
LPCSTR ChooseFile(HINSTANCE instance, HWND owner, const FileChoice& choice);
