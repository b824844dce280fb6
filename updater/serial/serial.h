// The serial transport of mdmflash: the one COM-port session and the shared reply buffer.
#pragma once

#include "platform/win32/windows.h"

// The process-wide COM-port session. Threads use it one after another, never at once: the
// dialog thread during the modem search, then the update worker and the ZModem thread, which
// hand it to each other through events.
struct CommPortSession {
  HANDLE port;  // the open COM port; null while closed
  DCB savedLineSettings;
  DWORD lineSettingsSaved;
  DCB workingLineSettings;
  COMMTIMEOUTS savedTimeouts;
  DWORD timeoutsSaved;
  COMMTIMEOUTS workingTimeouts;
  HANDLE readEvent;   // manual reset; created by whoever starts work on the port
  HANDLE writeEvent;  // manual reset; likewise
  // The last read request. It lives here, not on the reader's stack, because the ZModem sender
  // may ask for its result after the read call has returned.
  OVERLAPPED readRequest;
  DWORD lastReadCount;
};

constexpr DWORD kModemReplyBufferSize = 4096;

extern CommPortSession commPortSession;

// The shared receive buffer: a reply is the first count bytes a read returned; the bytes after
// them are stale.
extern BYTE ModemReplyBuffer[kModemReplyBufferSize];

// Opens the named port with the update's line settings (56000 baud, 8N1, DTR on, RTS
// handshake), pulses DTR and sets the read interval. Returns the port, or null; the caller
// stores it into commPortSession.port.
HANDLE OpenCommPort(LPCSTR name, DWORD readIntervalMs);

// Puts back the line settings and time-outs the port had before, and closes it.
void CloseCommPort();

// Blocking overlapped write; the caller learns nothing of the outcome.
void WriteToComm(const BYTE* bytes, LONG count);

// Overlapped read bounded by timeoutMs: >0 bytes read, 0 nothing (no port or a failed read),
// -1 time-out (the request then stays outstanding until the next close).
LONG ReadFromComm(BYTE* buffer, DWORD maxCount, DWORD timeoutMs);

// Sets the read interval and zero for every other time-out; returns SetCommTimeouts' result.
BOOL SetCommReadInterval(HANDLE port, DWORD readIntervalMs);

// ---------------------------------------------------------------------------------------------
// The two worker threads and their events. Each thread waits for any of its events and runs
// one handler per event; when several are signalled, the lowest index goes first.

enum WorkerEventIndex : DWORD {
  kWorkerStopIndex = 0,
  kNextStepIndex = 1,
  kModemReadyIndex = 2,
  kTransferDoneIndex = 3,
  kTransferFailedIndex = 4,
  kWorkerEventCount = 5
};

enum ZModemEventIndex : DWORD {
  kZStopIndex = 0,
  kZFailIndex = 1,
  kZResponseIndex = 2,
  kZStartIndex = 3,
  kZModemEventCount = 4
};

extern HANDLE workerEvents[kWorkerEventCount];
extern HANDLE zmodemEvents[kZModemEventCount];

inline HANDLE& WorkerStopEvent = workerEvents[kWorkerStopIndex];
inline HANDLE& NextStepEvent = workerEvents[kNextStepIndex];
inline HANDLE& ModemReadyEvent = workerEvents[kModemReadyIndex];
inline HANDLE& TransferDoneEvent = workerEvents[kTransferDoneIndex];
inline HANDLE& TransferFailedEvent = workerEvents[kTransferFailedIndex];
inline HANDLE& ZStopEvent = zmodemEvents[kZStopIndex];
inline HANDLE& ZFailEvent = zmodemEvents[kZFailIndex];
inline HANDLE& ZResponseEvent = zmodemEvents[kZResponseIndex];
inline HANDLE& ZStartEvent = zmodemEvents[kZStartIndex];

// The threads' handles; null while a thread does not exist.
extern HANDLE updateWorkerThread;
extern HANDLE zmodemThread;

BOOL StartUpdateWorker();
BOOL StartZModemThread();
void StopUpdateWorker();
void StopZModemThread();

// Reads one answer of the modem and turns its outcome into ZResponseEvent or ZFailEvent.
void WaitForZModemRsp(DWORD timeoutMs, DWORD maxBytes);
