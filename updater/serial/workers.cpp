// The update worker and the ZModem thread. They coordinate only through auto-reset events and
// hand the port session, the reply buffer and the ZModem context to each other with them.
//
// A thread that does not end within 5000 ms of its stop event is ended with TerminateThread,
// which on this platform interrupts it: every wait it is in or enters fails at once, so its
// handler runs to its end without blocking and its loop leaves on the failed wait.
#include "updater/serial/serial.h"
#include "updater/session/session.h"
#include "updater/zmodem/zmodem.h"

HANDLE workerEvents[kWorkerEventCount];
HANDLE zmodemEvents[kZModemEventCount];
HANDLE updateWorkerThread;
HANDLE zmodemThread;

namespace {

constexpr DWORD kStopWaitMs = 5000;

// Creates `count` events; false (with none of them left open) when one cannot be created.
BOOL CreateEvents(HANDLE* events, DWORD count, BOOL manualReset) {
  for (DWORD i = 0; i < count; ++i) {
    events[i] = CreateEventA(nullptr, manualReset, FALSE, nullptr);
    if (events[i] == nullptr) {
      for (DWORD j = 0; j < i; ++j) {
        CloseHandle(events[j]);
        events[j] = nullptr;
      }
      return FALSE;
    }
  }
  return TRUE;
}

void CloseEvents(HANDLE* events, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (events[i] != nullptr) CloseHandle(events[i]);
    events[i] = nullptr;
  }
}

void CloseWorkerEvents() {
  CloseEvents(workerEvents, kWorkerEventCount);
  CloseEvents(&commPortSession.readEvent, 1);
  CloseEvents(&commPortSession.writeEvent, 1);
}

DWORD WINAPI UpdateWorker(LPVOID) {
  for (;;) {
    switch (WaitForMultipleObjects(kWorkerEventCount, workerEvents, FALSE, INFINITE)) {
      case WAIT_OBJECT_0 + kNextStepIndex:
        OnNextStep();
        break;
      case WAIT_OBJECT_0 + kModemReadyIndex:
        OnModemReady();
        break;
      case WAIT_OBJECT_0 + kTransferDoneIndex:
        OnTransferDone();
        break;
      case WAIT_OBJECT_0 + kTransferFailedIndex:
        OnTransferFailed();
        break;
      default:  // the stop event, or a wait failed because the thread is being ended
        OnStop();
        return 0;
    }
  }
}

DWORD WINAPI ZModemThread(LPVOID) {
  for (;;) {
    switch (WaitForMultipleObjects(kZModemEventCount, zmodemEvents, FALSE, INFINITE)) {
      case WAIT_OBJECT_0 + kZFailIndex:
        SetEvent(TransferFailedEvent);
        break;
      case WAIT_OBJECT_0 + kZResponseIndex:
        ZMSender();
        break;
      case WAIT_OBJECT_0 + kZStartIndex:
        OnZModemStart();
        break;
      default:  // the stop event, or a wait failed because the thread is being ended
        return 0;
    }
  }
}

// Waits for a thread to end after its stop event, and ends it when it does not in time.
void EndThread(HANDLE& thread, HANDLE stopEvent) {
  SetEvent(stopEvent);
  if (WaitForSingleObject(thread, kStopWaitMs) != WAIT_OBJECT_0) TerminateThread(thread, 0);
  CloseHandle(thread);
  thread = nullptr;
}

}  // namespace

BOOL StartUpdateWorker() {
  if (!CreateEvents(workerEvents, kWorkerEventCount, FALSE)) return FALSE;
  if (!CreateEvents(&commPortSession.readEvent, 1, TRUE) ||
      !CreateEvents(&commPortSession.writeEvent, 1, TRUE)) {
    CloseWorkerEvents();
    return FALSE;
  }
  updateWorkerThread = CreateThread(nullptr, 0, UpdateWorker, nullptr, 0, nullptr);
  if (updateWorkerThread == nullptr) {
    OutputDebugStringA("CreateThread() failed\n");
    CloseWorkerEvents();
    return FALSE;
  }
  return TRUE;
}

BOOL StartZModemThread() {
  if (!CreateEvents(zmodemEvents, kZModemEventCount, FALSE)) return FALSE;
  zmodemThread = CreateThread(nullptr, 0, ZModemThread, nullptr, 0, nullptr);
  if (zmodemThread == nullptr) {
    CloseEvents(zmodemEvents, kZModemEventCount);
    return FALSE;
  }
  return TRUE;
}

void StopUpdateWorker() {
  if (updateWorkerThread == nullptr) return;
  EndThread(updateWorkerThread, WorkerStopEvent);
  if (zmodemThread != nullptr) StopZModemThread();
  CloseWorkerEvents();
}

void StopZModemThread() {
  if (zmodemThread == nullptr) return;
  EndThread(zmodemThread, ZStopEvent);
  CloseEvents(zmodemEvents, kZModemEventCount);
}

void WaitForZModemRsp(DWORD timeoutMs, DWORD maxBytes) {
  ResetEvent(commPortSession.readEvent);
  if (ReadFromComm(ModemReplyBuffer, maxBytes, timeoutMs) > 0) {
    SetEvent(ZResponseEvent);
  } else {
    OutputDebugStringA("WaitForZModemRsp: failed\n");
    SetEvent(ZFailEvent);
  }
}
