// The ZModem sender as the update flow sees it.
//
// Until the sender itself is built, the transfer is a stand-in step: it logs what a transfer
// logs and ends as `transferOutcome` decides.
#pragma once

#include "platform/win32/windows.h"

// Clears the sender's context; the transfer counts as over from here on.
void ResetZModemContext();

// TRUE while a transfer has been started and its context not yet reset.
BOOL ZModemTransferActive();

// Handler of ZStartEvent on the ZModem thread: starts the transfer.
void OnZModemStart();

// Handler of ZResponseEvent on the ZModem thread: one step per answer of the modem.
void ZMSender();

// How the stand-in transfer ends: TRUE for success. Tests and the scenario host set it.
extern BOOL (*transferOutcome)();
