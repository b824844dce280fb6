// Who answers the program's questions and file dialogs. The headless answers come from a
// script: a test's functions, or a program's command-line options. A window backend replaces
// them with real dialogs.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/winuser.h"

namespace ui {

struct MessageBoxRequest {
  HWND owner;
  std::string text;
  std::string caption;  // empty for a null caption
  UINT type;
};

struct FileDialogRequest {
  DWORD structSize;
  HWND owner;
  std::string title;
  std::string initialFolder;        // empty when none was given
  std::string initialName;          // what the file name field shows
  std::vector<std::string> filter;  // description, pattern, description, pattern, ...
  DWORD filterIndex;
  DWORD maxFile;
  DWORD flags;
};

using MessageBoxAnswer = std::function<int(const MessageBoxRequest&)>;
// A path, or nothing for a cancelled dialog. A host path's slashes reach the program as the
// platform's backslashes.
using FileDialogAnswer = std::function<std::optional<std::string>(const FileDialogRequest&)>;

// Installs who answers. Without one, a Yes/No question is answered No, any other box OK, and
// a file dialog is cancelled.
void SetMessageBoxAnswer(MessageBoxAnswer answer);
void SetFileDialogAnswer(FileDialogAnswer answer);
// Who answers now (empty when nobody was installed).
MessageBoxAnswer CurrentMessageBoxAnswer();
FileDialogAnswer CurrentFileDialogAnswer();

// The filter list of an open-file request: pairs of NUL-terminated strings ended by an empty
// string.
std::vector<std::string> SplitFilter(const char* filter);

}  // namespace ui
