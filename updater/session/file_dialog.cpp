#include "updater/session/file_dialog.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "updater/dialog/strings.h"

namespace {

// The layout without the fields Windows 2000 added, as the program was built with.
const DWORD kFileDialogStructSize = OPENFILENAME_SIZE_VERSION_400A;
constexpr DWORD kFileDialogFlags =
    OFN_EXPLORER | OFN_CREATEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;  // 0x82804

void CopyBounded(char* target, std::size_t room, const char* source) {
  std::snprintf(target, room, "%s", source);
}

// Builds "description\0pattern\0All files\0*.*\0\0" into `filter`.
void BuildFilter(char (&filter)[128], HINSTANCE instance, UINT descriptionId, const char* pattern) {
  char description[40];
  char allFiles[40];
  if (LoadStringA(instance, descriptionId, description, sizeof(description)) == 0) {
    description[0] = '\0';
  }
  if (LoadStringA(instance, IDS_ALL_FILES, allFiles, sizeof(allFiles)) == 0) allFiles[0] = '\0';
  std::size_t at = 0;
  for (const char* part : {static_cast<const char*>(description), pattern,
                           static_cast<const char*>(allFiles), "*.*"}) {
    std::size_t length = std::strlen(part);
    std::memcpy(filter + at, part, length + 1);
    at += length + 1;
  }
  filter[at] = '\0';
}

// The dialog starts in the folder of the file chosen last, with its name filled in: the path is
// cut at its last "\" (which goes) or ":" (which stays, leaving a drive such as C:).
void PresetFromLastPath(const FileChoice& choice, char (&fileName)[256]) {
  if (choice.lastPath[0] == '\0') return;
  char* folder = choice.folder;
  CopyBounded(folder, sizeof(choice.folder), choice.lastPath);
  for (std::size_t k = std::strlen(folder); k-- > 1;) {
    if (folder[k] != '\\' && folder[k] != ':') continue;
    CopyBounded(fileName, sizeof(fileName), folder + k + 1);
    folder[folder[k] == '\\' ? k : k + 1] = '\0';
    return;
  }
}

}  // namespace

LPCSTR ChooseFile(HINSTANCE instance, HWND owner, const FileChoice& choice) {
  char filter[128];
  BuildFilter(filter, instance, choice.filterId, choice.pattern);
  char fileName[256];
  CopyBounded(fileName, sizeof(fileName), choice.initialName);
  PresetFromLastPath(choice, fileName);

  OPENFILENAMEA request{};
  request.lStructSize = kFileDialogStructSize;
  request.hwndOwner = owner;
  request.hInstance = instance;
  request.lpstrFilter = filter;
  request.nFilterIndex = 1;
  request.lpstrFile = fileName;
  request.nMaxFile = sizeof(fileName);
  request.lpstrInitialDir = choice.folder[0] != '\0' ? choice.folder : nullptr;
  request.lpstrTitle = choice.title;
  request.Flags = kFileDialogFlags;
  if (!GetOpenFileNameA(&request)) {
    choice.lastPath[0] = '\0';
    return nullptr;
  }
  CopyBounded(choice.lastPath, sizeof(choice.lastPath), fileName);
  return choice.lastPath;
}
