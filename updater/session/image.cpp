// The firmware image: chosen in the open-file dialog, mapped read-only as a whole, sent unchanged.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/session/session.h"

ImageFile imageFile;

namespace {

constexpr DWORD kFileDialogStructSize = 76;
constexpr DWORD kFileDialogFlags =
    OFN_EXPLORER | OFN_CREATEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;  // 0x82804
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
constexpr std::uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;

void CopyBounded(char* target, std::size_t room, const char* source) {
  std::snprintf(target, room, "%s", source);
}

// Builds "description\0pattern\0All files\0*.*\0\0" into `filter`.
void BuildFilter(char (&filter)[128], UINT descriptionId, const char* pattern) {
  char description[40];
  char allFiles[40];
  if (LoadStringA(nullptr, descriptionId, description, sizeof(description)) == 0) {
    description[0] = '\0';
  }
  if (LoadStringA(nullptr, IDS_ALL_FILES, allFiles, sizeof(allFiles)) == 0) allFiles[0] = '\0';
  std::size_t at = 0;
  for (const char* part : {static_cast<const char*>(description), pattern,
                           static_cast<const char*>(allFiles), "*.*"}) {
    std::size_t length = std::strlen(part);
    std::memcpy(filter + at, part, length + 1);
    at += length + 1;
  }
  filter[at] = '\0';
}

// The next dialog starts in the folder of the file chosen last, with its name filled in: the
// path is cut at its last "\" (which goes) or ":" (which stays, leaving a drive such as C:).
void PresetFromLastPath(char (&fileName)[256]) {
  if (imageFile.lastImagePath[0] == '\0') return;
  char* folder = imageFile.initialFolder;
  CopyBounded(folder, sizeof(imageFile.initialFolder), imageFile.lastImagePath);
  for (std::size_t k = std::strlen(folder); k-- > 1;) {
    if (folder[k] != '\\' && folder[k] != ':') continue;
    CopyBounded(fileName, sizeof(fileName), folder + k + 1);
    folder[folder[k] == '\\' ? k : k + 1] = '\0';
    return;
  }
}

}  // namespace

const BYTE* OpenImage() {
  ImageFile& f = imageFile;
  LogString(IDS_SELECT_IMAGE);
  LPCSTR path = SelectImageFile(nullptr, theDialog != nullptr ? theDialog->window : nullptr);
  if (path == nullptr) {
    LogString(IDS_NO_IMAGE_SELECTED);
    return nullptr;
  }
  ReadImageFileInfo(path);
  f.fileHandle =
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f.fileHandle == INVALID_HANDLE_VALUE || f.fileHandle == nullptr) {
    f.fileHandle = nullptr;
    LogString(IDS_CANNOT_OPEN_IMAGE);
    return nullptr;
  }
  f.size = GetFileSize(f.fileHandle, &f.sizeHigh);
  f.mappingHandle =
      CreateFileMappingA(f.fileHandle, nullptr, PAGE_READONLY, f.sizeHigh, f.size, nullptr);
  if (f.mappingHandle == nullptr || f.mappingHandle == INVALID_HANDLE_VALUE) {
    CloseHandle(f.fileHandle);  // an empty file ends here: it cannot be mapped
    f.fileHandle = nullptr;
    f.mappingHandle = nullptr;
    return nullptr;
  }
  f.data = static_cast<const BYTE*>(MapViewOfFile(f.mappingHandle, FILE_MAP_READ, 0, 0, 0));
  if (f.data == nullptr) {
    CloseHandle(f.mappingHandle);
    CloseHandle(f.fileHandle);
    f.mappingHandle = nullptr;
    f.fileHandle = nullptr;
  }
  return f.data;
}

LPCSTR SelectImageFile(HINSTANCE instance, HWND owner) {
  ImageFile& f = imageFile;
  char filter[128];
  BuildFilter(filter, IDS_IMAGE_FILES, "*.bin");
  char fileName[256] = "*.bin";
  PresetFromLastPath(fileName);
  char format[256];
  char title[64];  // longer titles are cut to 63 characters
  if (LoadStringA(nullptr, IDS_SELECT_IMAGE_TITLE, format, sizeof(format)) == 0) format[0] = '\0';
  std::snprintf(title, sizeof(title), format,
                updateSession.PortTable[updateSession.currentPort].name);

  OPENFILENAMEA request{};
  request.lStructSize = kFileDialogStructSize;
  request.hwndOwner = owner;
  request.hInstance = instance;
  request.lpstrFilter = filter;
  request.nFilterIndex = 1;
  request.lpstrFile = fileName;
  request.nMaxFile = sizeof(fileName);
  request.lpstrInitialDir = f.initialFolder[0] != '\0' ? f.initialFolder : nullptr;
  request.lpstrTitle = title;
  request.Flags = kFileDialogFlags;
  if (!GetOpenFileNameA(&request)) {
    f.lastImagePath[0] = '\0';
    return nullptr;
  }
  CopyBounded(f.lastImagePath, sizeof(f.lastImagePath), fileName);
  return f.lastImagePath;
}

void ReadImageFileInfo(LPCSTR path) {
  ImageFile& f = imageFile;
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return;
  std::uint64_t ticks = (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                        info.ftLastWriteTime.dwLowDateTime;
  // Seconds since 1970 in 32 bits, as the platform's runtime gives them.
  auto seconds = static_cast<LONG>(static_cast<std::int64_t>(ticks - kTicksFrom1601To1970) /
                                   static_cast<std::int64_t>(kTicksPerSecond));
  std::snprintf(f.mtimeOctal, sizeof(f.mtimeOctal), "%lo",
                static_cast<unsigned long>(static_cast<DWORD>(seconds)));
  std::snprintf(f.mtimeDecimal, sizeof(f.mtimeDecimal), "%ld", static_cast<long>(seconds));
  const char* slash = std::strrchr(path, '\\');
  CopyBounded(f.baseName, sizeof(f.baseName), slash != nullptr ? slash + 1 : path);
}

void ReleaseImage() {
  ImageFile& f = imageFile;
  if (f.data != nullptr) {
    UnmapViewOfFile(f.data);
    f.data = nullptr;
  }
  if (f.mappingHandle != nullptr) {
    CloseHandle(f.mappingHandle);
    f.mappingHandle = nullptr;
  }
  if (f.fileHandle != nullptr) {
    CloseHandle(f.fileHandle);
    f.fileHandle = nullptr;
  }
}
