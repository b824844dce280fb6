#include <cstdio>
#include <cstring>

#include "updater/serial/serial.h"

CommPortSession commPortSession;
BYTE ModemReplyBuffer[kModemReplyBufferSize];

namespace {

constexpr DWORD kBaudRate = 56000;  // not 57600: the modem's serial side runs at 56000
constexpr DWORD kQueueSize = 4096;
constexpr DWORD kDtrDropMs = 100;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// The port's own settings with the update's framing and handshake; everything the update does
// not care about (DSR sensitivity, XOFF behaviour, error character, flow limits and characters)
// keeps the port's value.
DCB WorkingLineSettings(const DCB& saved) {
  DCB dcb = saved;
  dcb.BaudRate = kBaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.EvtChar = 0;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fAbortOnError = 0;
  return dcb;
}

}  // namespace

HANDLE OpenCommPort(LPCSTR name, DWORD readIntervalMs) {
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) return nullptr;
  CommPortSession& s = commPortSession;
  if (!s.lineSettingsSaved) {
    s.savedLineSettings.DCBlength = sizeof(DCB);
    GetCommState(port, &s.savedLineSettings);
    s.lineSettingsSaved = TRUE;
  }
  s.workingLineSettings = WorkingLineSettings(s.savedLineSettings);
  SetCommState(port, &s.workingLineSettings);
  EscapeCommFunction(port, SETDTR);
  SetupComm(port, kQueueSize, kQueueSize);
  // DTR drops for 100 ms and comes back: the modem takes that as a fresh start of the line.
  EscapeCommFunction(port, CLRDTR);
  Sleep(kDtrDropMs);
  EscapeCommFunction(port, SETDTR);
  if (!s.timeoutsSaved) {
    GetCommTimeouts(port, &s.savedTimeouts);
    s.timeoutsSaved = TRUE;
  }
  SetCommReadInterval(port, readIntervalMs);
  PurgeComm(port, kPurgeAll);
  return port;
}

BOOL SetCommReadInterval(HANDLE port, DWORD readIntervalMs) {
  commPortSession.workingTimeouts = COMMTIMEOUTS{readIntervalMs, 0, 0, 0, 0};
  return SetCommTimeouts(port, &commPortSession.workingTimeouts);
}

void CloseCommPort() {
  CommPortSession& s = commPortSession;
  if (s.port == nullptr) return;
  PurgeComm(s.port, kPurgeAll);  // also abandons a read left outstanding by a time-out
  if (s.timeoutsSaved) {
    SetCommTimeouts(s.port, &s.savedTimeouts);
    s.timeoutsSaved = FALSE;
  }
  if (s.lineSettingsSaved) {
    SetCommState(s.port, &s.savedLineSettings);
    s.lineSettingsSaved = FALSE;
  }
  CloseHandle(s.port);
  s.port = nullptr;
}

void WriteToComm(const BYTE* bytes, LONG count) {
  CommPortSession& s = commPortSession;
  if (s.port == nullptr) return;
  ClearCommError(s.port, nullptr, nullptr);
  OVERLAPPED request{};
  ResetEvent(s.writeEvent);
  request.hEvent = s.writeEvent;
  DWORD written = 0;
  if (WriteFile(s.port, bytes, static_cast<DWORD>(count), &written, &request)) {
    if (written != static_cast<DWORD>(count)) OutputDebugStringA("Write timed out. (immediate)\n");
    return;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    OutputDebugStringA("WriteToComm() failed\n");
    return;
  }
  WaitForSingleObject(s.writeEvent, INFINITE);
  if (!GetOverlappedResult(s.port, &request, &written, FALSE) &&
      GetLastError() == ERROR_OPERATION_ABORTED) {
    OutputDebugStringA("Write aborted\n");
  }
  if (written != static_cast<DWORD>(count)) {
    OutputDebugStringA(GetLastError() == 0 ? "Write timed out. (overlapped)\n"
                                           : "Error writing data to port (overlapped)\n");
  }
}

LONG ReadFromComm(BYTE* buffer, DWORD maxCount, DWORD timeoutMs) {
  CommPortSession& s = commPortSession;
  if (s.port == nullptr) return 0;
  s.lastReadCount = 0;
  ClearCommError(s.port, nullptr, nullptr);
  std::memset(&s.readRequest, 0, sizeof(s.readRequest));
  ResetEvent(s.readEvent);
  s.readRequest.hEvent = s.readEvent;
  if (ReadFile(s.port, buffer, maxCount, &s.lastReadCount, &s.readRequest)) {
    return static_cast<LONG>(s.lastReadCount);
  }
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    char text[64];
    std::snprintf(text, sizeof(text), "ReadFile() failed (%d)\n", static_cast<int>(error));
    OutputDebugStringA(text);
    return static_cast<LONG>(s.lastReadCount);
  }
  if (WaitForSingleObject(s.readEvent, timeoutMs) != WAIT_OBJECT_0) {
    OutputDebugStringA("READ TIMEOUT\n");
    return -1;
  }
  if (!GetOverlappedResult(s.port, &s.readRequest, &s.lastReadCount, FALSE)) {
    OutputDebugStringA("GOT ERROR FROM READ FN\n");
  }
  return static_cast<LONG>(s.lastReadCount);
}
