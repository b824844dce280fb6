// The update controller: the search on the dialog thread, then one handler per event of the
// update worker, walking the port table from the first entry to the last.
#include <cstdio>
#include <cstring>

#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"
#include "updater/zmodem/zmodem.h"

UpdateSession updateSession;

namespace {

constexpr DWORD kPortOpenPauseMs = 500;
constexpr DWORD kUpdateReadInterval = 2000;
constexpr DWORD kStatusPauseMs = 1000;
constexpr DWORD kCommandPauseMs = 1000;
constexpr DWORD kPromptWaitMs = 50000;
constexpr char kDownloadWithCode[] = "at@d\r\n";
constexpr char kDownloadBare[] = "x";

// Logs string `id` formatted with a port name.
void LogStringWithName(UINT id, const char* name) {
  char format[256];
  char text[256];
  if (LoadStringA(nullptr, id, format, sizeof(format)) == 0) return;
  std::snprintf(text, sizeof(text), format, name);
  AppendLog(text);
}

void Advance() {
  ++updateSession.currentPort;
  SetEvent(NextStepEvent);
}

void ReleaseImageUnlessKept() {
  if (updateSession.useSameImage == 0) ReleaseImage();
}

}  // namespace

void StartModemSearch() {
  LogString(IDS_TOOL_STARTED);
  updateSession.portCount = static_cast<LONG>(EnumSerialPorts(kMaxPorts));
  if (updateSession.portCount == 0) {
    LogString(IDS_NO_SERIAL_PORTS);
    return;
  }
  LogString(IDS_SEARCHING);
  if (portListUnreadable) {
    LogString(portListNoHandles ? IDS_PORT_LIST_NO_HANDLES : IDS_PORT_LIST_UNREADABLE);
  }
  CheckAllPorts();
  LogPortList();
  if (updateSession.modemCount == 0) return;
  if (!StartUpdateWorker()) {
    LogString(IDS_SESSION_FAILED);
    return;
  }
  if (!StartZModemThread()) {
    LogString(IDS_THREAD_START_FAILED);
    StopUpdateWorker();
    return;
  }
  SetEvent(NextStepEvent);
}

void OnNextStep() {
  if (updateSession.currentPort >= updateSession.portCount) {
    LogString(IDS_UPDATE_FINISHED);
    return;
  }
  PortEntry& entry = updateSession.PortTable[updateSession.currentPort];
  if (entry.isUsbModem != 1) {
    Advance();
    return;
  }
  if (entry.attempts >= kMaxAttempts) {
    LogString(IDS_GIVE_UP);
    Advance();
    return;
  }
  if (!SetupCommPort(updateSession.currentPort)) {
    Advance();
    return;
  }
  // A modem without modem code, and every retry, is asked with the bare "x".
  const char* command =
      entry.noModemCode != 0 || entry.attempts >= 1 ? kDownloadBare : kDownloadWithCode;
  WriteToComm(reinterpret_cast<const BYTE*>(command), static_cast<LONG>(std::strlen(command)));
  Sleep(kCommandPauseMs);
  if (WaitForAnswer(TRUE, ">>>", kPromptWaitMs)) {
    SetEvent(ModemReadyEvent);
    return;
  }
  ReleaseImageUnlessKept();
  Advance();
}

void OnModemReady() {
  LogString(IDS_UPDATE_STARTED);
  SetEvent(ZStartEvent);
}

void OnTransferDone() {
  LogString(IDS_UPDATE_COMPLETED);
  ReleaseImageUnlessKept();
  ResetZModemContext();
  Advance();
}

void OnTransferFailed() {
  ReleaseImageUnlessKept();
  char text[64];
  if (LoadStringA(nullptr, IDS_UPDATE_FAILED, text, sizeof(text)) > 0) AppendLog(text);
  LogString(IDS_UPDATE_RESTARTED);
  ++updateSession.PortTable[updateSession.currentPort].attempts;
  ResetZModemContext();
  SetEvent(NextStepEvent);  // the same modem again
}

void OnStop() {
  CloseCommPort();
}

BOOL SetupCommPort(int index) {
  const PortEntry& entry = updateSession.PortTable[index];
  CloseCommPort();
  bool loadedHere = false;
  if (updateSession.useSameImage == 0) {
    if (OpenImage() == nullptr) return FALSE;
    loadedHere = true;
    char question[256];
    if (updateSession.modemCount > 1 &&
        LoadStringA(nullptr, IDS_USE_SAME_IMAGE, question, sizeof(question)) > 0 &&
        MessageBoxA(theDialog != nullptr ? theDialog->window : nullptr, question, "",
                    MB_YESNO | MB_ICONQUESTION) == IDYES) {
      updateSession.useSameImage = 1;
    }
  }
  auto fail = [loadedHere] {
    if (loadedHere && updateSession.useSameImage == 0) ReleaseImage();
    return FALSE;
  };
  LogStringWithName(IDS_CHECK_MODEM, entry.name);
  Sleep(kPortOpenPauseMs);
  commPortSession.port = OpenCommPort(entry.name, kUpdateReadInterval);
  if (commPortSession.port == nullptr) {
    // Out of descriptors is no fault of the modem's: the log says so.
    const bool noHandles = GetLastError() == ERROR_TOO_MANY_OPEN_FILES;
    OutputDebugStringA("SetupCommPort() failed\n");
    if (noHandles) LogStringWithName(IDS_PORT_NO_HANDLES, entry.name);
    return fail();
  }
  Sleep(kStatusPauseMs);
  DWORD status;
  if (!GetCommModemStatus(commPortSession.port, &status)) {
    CloseCommPort();
    LogStringWithName(IDS_MODEM_STATUS_FAILED, entry.name);
    return fail();
  }
  if ((status & (MS_CTS_ON | MS_DSR_ON)) == 0) {
    CloseCommPort();
    LogStringWithName(IDS_NOT_CONNECTED, entry.name);
    return fail();
  }
  std::memset(&commPortSession.readRequest, 0, sizeof(commPortSession.readRequest));
  return TRUE;
}

BOOL ConfirmStop() {
  if (!ZModemTransferActive()) return TRUE;
  char question[256];
  LoadStringA(nullptr, IDS_CANCEL_RUNNING, question, sizeof(question));
  return MessageBoxA(theDialog != nullptr ? theDialog->window : nullptr, question, programName,
                     MB_YESNO | MB_ICONQUESTION) == IDYES
             ? TRUE
             : FALSE;
}

// The image goes only after both threads have ended, since the ZModem thread reads from it.
void StopSession() {
  StopUpdateWorker();
  ReleaseImage();
}
