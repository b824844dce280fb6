// The firmware image: chosen in the open-file dialog, mapped read-only as a whole, sent unchanged.
#include <cstdio>
#include <cstring>

#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/session/file_dialog.h"
#include "updater/session/session.h"

ImageFile imageFile;

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
constexpr std::uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;
constexpr DWORD kLargestImage = 0x7FFFFFFF;

void CopyBounded(char* target, std::size_t room, const char* source) {
  std::snprintf(target, room, "%s", source);
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
  // The sender counts the image's bytes in a signed 32-bit number: a larger image could never
  // be sent whole, so it is refused as one that cannot be opened.
  if (f.sizeHigh != 0 || f.size > kLargestImage) {
    CloseHandle(f.fileHandle);
    f.fileHandle = nullptr;
    LogString(IDS_CANNOT_OPEN_IMAGE);
    return nullptr;
  }
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
  char format[256];
  char title[64];  // longer titles are cut to 63 characters
  if (LoadStringA(instance, IDS_SELECT_IMAGE_TITLE, format, sizeof(format)) == 0) {
    format[0] = '\0';
  }
  std::snprintf(title, sizeof(title), format,
                updateSession.PortTable[updateSession.currentPort].name);
  return ChooseFile(
      instance, owner,
      {IDS_IMAGE_FILES, "*.bin", "*.bin", title, imageFile.lastImagePath, imageFile.initialFolder});
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
