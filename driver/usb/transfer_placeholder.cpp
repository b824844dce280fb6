// The transfer engine's entry points that the modem context calls. The status, data and control
// channels come with the transfer engine; until then nothing is ever in flight, so starting the
// status chain does nothing and there is nothing to release.
#include "driver/core/devext.h"

NTSTATUS IsoUsb_StartReadStatus(DEVICE_OBJECT*) {
  return STATUS_SUCCESS;
}

NTSTATUS IsoUsb_StopReadStatus(DEVICE_OBJECT*) {
  return STATUS_SUCCESS;
}

NTSTATUS IsoUsb_DataReadFreeResource(DEVICE_OBJECT*) {
  return STATUS_SUCCESS;
}

NTSTATUS IsoUsb_DataWriteFreeResource(DEVICE_OBJECT*) {
  return STATUS_SUCCESS;
}

NTSTATUS BulkUsb_FreeResources(DEVICE_OBJECT*) {
  return STATUS_SUCCESS;
}
