// Save Log: the log file dialog, and one record appended to the chosen file per click.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/session/file_dialog.h"

char lastLogPath[256];
bool logSaveFailed = false;

namespace {

constexpr char kLogTitle[] = "Kelvo Modem-Update-Log";
constexpr char kRecordHeader[] = "\r\n%s %02d.%02d.%02d %02d:%02d:%02d  >>>>\n";
constexpr char kRecordTrailer[] = "\n ------ <<<<\n";
static_assert(sizeof(kRecordTrailer) - 1 == 14);

char logInitialFolder[256];

void Warn(HWND owner, UINT id) {
  char text[256];
  if (LoadStringA(moduleInstance, id, text, sizeof(text)) == 0) text[0] = '\0';
  MessageBoxA(owner, text, programName, MB_OK | MB_ICONWARNING);
}

// One whole write; a short one (a full disk) counts as failed.
bool WriteWhole(int file, const char* bytes, std::size_t count) {
  return count == 0 || _write(file, bytes, static_cast<unsigned>(count)) == static_cast<int>(count);
}

// The whole text of the log: the room given to the edit control counts the terminator, so that
// the last character is not cut off.
std::vector<char> LogBody(HWND log) {
  auto length = static_cast<std::size_t>(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0));
  std::vector<char> text(length + 1, '\0');
  SendMessageA(log, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(std::strlen(text.data()));
  return text;
}

int FormatHeader(char (&header)[96]) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  return std::snprintf(header, sizeof(header), kRecordHeader, kLogTitle, local.tm_mon + 1,
                       local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min,
                       local.tm_sec);
}

}  // namespace

LPCSTR SelectLogFile(HINSTANCE instance, HWND owner) {
  char title[64];
  if (LoadStringA(instance, IDS_SAVE_LOG_TITLE, title, sizeof(title)) == 0) title[0] = '\0';
  return ChooseFile(instance, owner,
                    {IDS_LOG_FILES, "*.hlg", "*.log", title, lastLogPath, logInitialFolder});
}

void CFlashUpdateDlg::OnSaveLog() {
  LPCSTR path = SelectLogFile(moduleInstance, window);
  if (path == nullptr) return;
  int file = _open(path, _O_RDWR | _O_APPEND | _O_CREAT | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (file == -1) {
    logSaveFailed = true;
    Warn(window, IDS_CANNOT_OPEN_LOG);
    return;
  }
  std::vector<char> body = LogBody(logWindow);
  char header[96];
  int headerLength = FormatHeader(header);
  // Text mode turns every LF written into CR LF. A record that did not reach the file whole
  // (a full disk, a device that takes nothing) is lost, and is said to be.
  bool written = WriteWhole(file, header, static_cast<std::size_t>(headerLength)) &&
                 WriteWhole(file, body.data(), body.size()) &&
                 WriteWhole(file, kRecordTrailer, sizeof(kRecordTrailer) - 1);
  written = _close(file) == 0 && written;
  if (!written) {
    logSaveFailed = true;
    Warn(window, IDS_CANNOT_WRITE_LOG);
  }
}
