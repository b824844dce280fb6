// What every status completion drives, in a fixed order: the modem status register and its
// report to the port side, a pending DTR/RTS command, the read and write flow-control tables,
// then an indication read or pending line settings.
#include "driver/usb/channel.h"
#include "driver/wire.h"

using engine::ModemOf;

namespace {

constexpr ULONG kEmptyLimit = 5;  // zero-sequence packets in a row that suspend data

bool ControlAllowed(const MDMContext& modem) {
  return modem.control.failures < kControlFailureLimit;
}

// Data moves only while the status stream is healthy, and only once a status packet has been
// accepted: before that the driver knows neither the modem's levels nor the sequence byte a
// data-out packet must carry, and the modem would drop the packet with its bytes.
bool DataAllowed(const MDMContext& modem) {
  return modem.portAttached != 0 && modem.status.emptyCount < kEmptyLimit &&
         modem.status.expectedSeq != 0;
}

// A data-out packet carries the sequence byte of the last decoded status packet. After a packet
// that was not decoded (out of sequence, without status, or failed) that byte may be stale, and
// the modem would drop the packet as a repeat with the port side's bytes in it: the write table
// waits for the next decoded packet.
bool WriteAllowed(const MDMContext& modem) {
  return DataAllowed(modem) && modem.status.outSequenceFresh != 0;
}

void CountEntries(FlowCounters& counters, FlowState transmit, FlowState receive) {
  if (transmit != counters.lastTransmit) ++counters.transmitEntered[transmit];
  if (receive != counters.lastReceive) ++counters.receiveEntered[receive];
  counters.lastTransmit = transmit;
  counters.lastReceive = receive;
}

}  // namespace

void IsoUsb_UpdateModemStatus(DEVICE_OBJECT* deviceObject) {
  MDMContext& modem = ModemOf(deviceObject);
  LONG room = 0;
  LONG count = 0;
  FlowState transmit = Offline;
  FlowState receive = Offline;
  ULONG attached = modem.portAttached;
  if (attached == 0) {
    Store(&modem.modemXon, 1);
    Store(&modem.hostXon, 1);
  }
  if ((modem.msr & kMsrDcd) != 0) SelectFlowStates(modem, &transmit, &receive);
  // The states index the tables of five handlers.
  MDM_ASSERT(transmit <= OnlineBoth && receive <= OnlineBoth);
  FlowCounters& counters = modem.flowCounters;
  CountEntries(counters, transmit, receive);
  if (attached != 0) {
    ++counters.updateMsrRows[transmit];
    update_msr_fsm[transmit](&modem);
    IsoUsb_PutMSRToVXD(&modem, static_cast<UCHAR>(modem.msr & kMsrRegister), &room, &count);
    modem.msr &= kMsrLines;
  }
  if (modem.modemControlPending != 0 && ControlAllowed(modem)) {
    if (NT_SUCCESS(BulkUsb_WriteCommand(deviceObject, kCommandModemControl))) {
      Store(&modem.modemControlPending, 0);
      return;
    }
  }
  if (DataAllowed(modem)) {
    ++counters.readRows[receive];
    read_fsm[receive](deviceObject, room);
  }
  if (WriteAllowed(modem)) {
    ++counters.writeRows[transmit];
    write_fsm[transmit](deviceObject, count);
  }
  if ((modem.status.statusFlags & kStatusFlagIndication) != 0 && ControlAllowed(modem)) {
    if (NT_SUCCESS(BulkUsb_ReadIndication(deviceObject))) return;
  }
  if (modem.lineSettingsPending != 0 && ControlAllowed(modem)) {
    if (NT_SUCCESS(BulkUsb_WriteCommand(deviceObject, kCommandLineSettings))) {
      Store(&modem.lineSettingsPending, 0);
    }
  }
}

void IsoUsb_PutMSRToVXD(MDMContext* context, UCHAR msr, LONG* room, LONG* count) {
  *room = 0;
  *count = 0;
  PortRecord record{};
  if (!PortCall(*context, PORT_PUT_MSR, static_cast<ULONG>(msr) << kPutMsrShift, &record)) return;
  *room = static_cast<LONG>(record.parameter1);
  *count = static_cast<LONG>(record.result);
}
