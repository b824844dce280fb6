// Save Log: the log file dialog, and one record appended to the chosen file per click.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"

char lastLogPath[256];

namespace {

constexpr DWORD kFileDialogStructSize = 76;
constexpr DWORD kFileDialogFlags =
    OFN_EXPLORER | OFN_CREATEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;  // 0x82804
constexpr char kLogTitle[] = "Kelvo Modem-Update-Log";
constexpr char kRecordHeader[] = "\r\n%s %02d.%02d.%02d %02d:%02d:%02d  >>>>\n";
constexpr char kRecordTrailer[] = "\n ------ <<<<\n";
static_assert(sizeof(kRecordTrailer) - 1 == 14);

char logInitialFolder[256];

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
void PresetFromLastPath(char (&fileName)[256]) {
  if (lastLogPath[0] == '\0') return;
  char* folder = logInitialFolder;
  CopyBounded(folder, sizeof(logInitialFolder), lastLogPath);
  for (std::size_t k = std::strlen(folder); k-- > 1;) {
    if (folder[k] != '\\' && folder[k] != ':') continue;
    CopyBounded(fileName, sizeof(fileName), folder + k + 1);
    folder[folder[k] == '\\' ? k : k + 1] = '\0';
    return;
  }
}

void WarnCannotOpen(HWND owner) {
  char text[256];
  if (LoadStringA(moduleInstance, IDS_CANNOT_OPEN_LOG, text, sizeof(text)) == 0) text[0] = '\0';
  MessageBoxA(owner, text, programName, MB_OK | MB_ICONWARNING);
}

// The log's text less its last character: the buffer has room for the length including the
// terminator, and the edit control fills it with one character fewer.
std::vector<char> LogBody(HWND log) {
  auto length = static_cast<std::size_t>(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0));
  std::vector<char> text(length + 1, '\0');
  SendMessageA(log, WM_GETTEXT, length, reinterpret_cast<LPARAM>(text.data()));
  text.resize(std::strlen(text.data()));
  return text;
}

int FormatHeader(char (&header)[96]) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return std::snprintf(header, sizeof(header), kRecordHeader, kLogTitle, local.tm_mon + 1,
                       local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min,
                       local.tm_sec);
}

}  // namespace

LPCSTR SelectLogFile(HINSTANCE instance, HWND owner) {
  char filter[128];
  BuildFilter(filter, instance, IDS_LOG_FILES, "*.hlg");
  char fileName[256] = "*.log";
  PresetFromLastPath(fileName);
  char title[64];
  if (LoadStringA(instance, IDS_SAVE_LOG_TITLE, title, sizeof(title)) == 0) title[0] = '\0';

  OPENFILENAMEA request{};
  request.lStructSize = kFileDialogStructSize;
  request.hwndOwner = owner;
  request.hInstance = instance;
  request.lpstrFilter = filter;
  request.nFilterIndex = 1;
  request.lpstrFile = fileName;
  request.nMaxFile = sizeof(fileName);
  request.lpstrInitialDir = logInitialFolder[0] != '\0' ? logInitialFolder : nullptr;
  request.lpstrTitle = title;
  request.Flags = kFileDialogFlags;
  if (!GetOpenFileNameA(&request)) {
    lastLogPath[0] = '\0';
    return nullptr;
  }
  CopyBounded(lastLogPath, sizeof(lastLogPath), fileName);
  return lastLogPath;
}

void CFlashUpdateDlg::OnSaveLog() {
  LPCSTR path = SelectLogFile(moduleInstance, window);
  if (path == nullptr) return;
  int file = _open(path, _O_RDWR | _O_APPEND | _O_CREAT | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (file == -1) {
    WarnCannotOpen(window);
    return;
  }
  std::vector<char> body = LogBody(logWindow);
  char header[96];
  int headerLength = FormatHeader(header);
  // Text mode turns every LF written into CR LF. A failed write is not reported.
  _write(file, header, static_cast<unsigned>(headerLength));
  _write(file, body.data(), static_cast<unsigned>(body.size()));
  _write(file, kRecordTrailer, sizeof(kRecordTrailer) - 1);
  _close(file);
}
