#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/zmodem/zmodem.h"

namespace {

BOOL transferActive = FALSE;

BOOL Succeed() {
  return TRUE;
}

}  // namespace

BOOL (*transferOutcome)() = Succeed;

void ResetZModemContext() {
  transferActive = FALSE;
}

BOOL ZModemTransferActive() {
  return transferActive;
}

void OnZModemStart() {
  transferActive = TRUE;
  LogString(IDS_SENDING_FIRMWARE);
  LogString(IDS_CHECKING_FLASH);
  SetEvent(transferOutcome() ? TransferDoneEvent : ZFailEvent);
}

void ZMSender() {}
