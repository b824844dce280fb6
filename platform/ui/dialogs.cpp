// The stand-in's message boxes and open-file dialog: each answered by who the program installed.
#include "platform/ui/dialogs.h"

#include <algorithm>
#include <cstring>

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  ui::MessageBoxAnswer answer = ui::CurrentMessageBoxAnswer();
  ui::MessageBoxRequest request{owner, text != nullptr ? text : "",
                                caption != nullptr ? caption : "", type};
  if (answer) return answer(request);
  return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
}

BOOL GetOpenFileNameA(LPOPENFILENAMEA request) {
  if (request == nullptr || request->lpstrFile == nullptr || request->nMaxFile == 0) return FALSE;
  ui::FileDialogAnswer answer = ui::CurrentFileDialogAnswer();
  ui::FileDialogRequest asked{request->lStructSize,
                              request->hwndOwner,
                              request->lpstrTitle != nullptr ? request->lpstrTitle : "",
                              request->lpstrInitialDir != nullptr ? request->lpstrInitialDir : "",
                              request->lpstrFile,
                              ui::SplitFilter(request->lpstrFilter),
                              request->nFilterIndex,
                              request->nMaxFile,
                              request->Flags};
  std::optional<std::string> chosen = answer ? answer(asked) : std::nullopt;
  // The dialog gives paths in the platform's form, whose separator is the backslash.
  if (chosen) std::replace(chosen->begin(), chosen->end(), '/', '\\');
  // A path that does not fit the caller's buffer fails the dialog, as the platform does.
  if (!chosen || chosen->size() + 1 > request->nMaxFile) return FALSE;
  std::memcpy(request->lpstrFile, chosen->c_str(), chosen->size() + 1);
  auto slash = chosen->find_last_of("\\/");
  request->nFileOffset = static_cast<WORD>(slash == std::string::npos ? 0 : slash + 1);
  auto dot = chosen->find_last_of('.');
  request->nFileExtension =
      static_cast<WORD>(dot == std::string::npos || dot < request->nFileOffset ? 0 : dot + 1);
  return TRUE;
}
