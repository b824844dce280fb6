// The flow-control state machines: after every status completion the transmit and receive states
// pick one handler from each table, which update the modem status register shown to the port
// side and start at most one data-out and one data-in transfer. All comparisons are signed.
#include "driver/core/devext.h"
#include "driver/wire.h"

namespace {

constexpr LONG kPayload = static_cast<LONG>(kPacketPayload);  // compared with signed counts

// Copies one line bit from `shown` into msr and sets its delta bit when it changed.
void Follow(MDMContext& context, ULONG shown, ULONG bit, ULONG delta) {
  if ((context.msr & bit) == (shown & bit)) return;
  context.msr = (context.msr & ~bit) | (shown & bit) | delta;
  MDM_ASSERT((context.msr & ~kMsrRegister) == 0);  // msr holds one register byte
}

LONG Signed(ULONG value) {
  return static_cast<LONG>(value);
}

MDMContext& ModemOf(DEVICE_OBJECT* deviceObject) {
  return Extension(deviceObject)->modemContext;
}

void update_msr_off_online_no(MDMContext* context) {
  ULONG shown = context->status.lineBits << kLineBitsToMsrShift;
  Follow(*context, shown, kMsrCts, kMsrDeltaCts);
  Follow(*context, shown, kMsrDsr, kMsrDeltaDsr);
  Follow(*context, shown, kMsrDcd, kMsrDeltaDcd);
}

// CTS follows the modem's transmit level rather than its CTS line.
void update_msr_online_hw(MDMContext* context) {
  ULONG shown = context->status.lineBits << kLineBitsToMsrShift;
  Follow(*context, shown, kMsrDsr, kMsrDeltaDsr);
  Follow(*context, shown, kMsrDcd, kMsrDeltaDcd);
  LONG level = Signed(context->status.modemTxLevel);
  bool cts = (context->msr & kMsrCts) != 0;
  if (level > kTxStopLevel && cts) {
    context->msr = (context->msr & ~kMsrCts) | kMsrDeltaCts;
  } else if (level < kCtsResumeLevel && !cts && (context->status.lineBits & kLineCts) != 0) {
    context->msr |= kMsrCts | kMsrDeltaCts;
  }
  MDM_ASSERT((context->msr & ~kMsrRegister) == 0);  // msr holds one register byte
}

void write_off_online_no(DEVICE_OBJECT* deviceObject, LONG count) {
  MDMContext& modem = ModemOf(deviceObject);
  if (Signed(modem.status.modemTxLevel) < kTxStopLevel && count != 0) {
    IsoUsb_DataWritePacket(deviceObject, kFrameOffset,
                           static_cast<ULONG>(count < kPayload ? count : kPayload));
  }
}

void write_online_sw(DEVICE_OBJECT* deviceObject, LONG count) {
  MDMContext& modem = ModemOf(deviceObject);
  if (modem.modemXon != 0 || modem.outX == 0) write_off_online_no(deviceObject, count);
}

void write_online_hw(DEVICE_OBJECT* deviceObject, LONG count) {
  if ((ModemOf(deviceObject).msr & kMsrCts) != 0) write_online_sw(deviceObject, count);
}

void read_offline(DEVICE_OBJECT* deviceObject, LONG) {
  if (Signed(ModemOf(deviceObject).status.modemRxLevel) > 0) {
    IsoUsb_DataReadPacket(deviceObject, kFrameOffset);
  }
}

void read_online_no(DEVICE_OBJECT* deviceObject, LONG room) {
  LONG level = Signed(ModemOf(deviceObject).status.modemRxLevel);
  if (level > 0 && (room >= kPayload || level <= room)) {
    IsoUsb_DataReadPacket(deviceObject, kFrameOffset);
  }
}

void read_online_hw(DEVICE_OBJECT* deviceObject, LONG room) {
  if (ModemOf(deviceObject).rts != 0) read_online_no(deviceObject, room);
}

void read_online_sw(DEVICE_OBJECT* deviceObject, LONG room) {
  if (ModemOf(deviceObject).hostXon != 0) read_online_no(deviceObject, room);
}

void read_online_both(DEVICE_OBJECT* deviceObject, LONG room) {
  MDMContext& modem = ModemOf(deviceObject);
  if (modem.rts != 0 && modem.hostXon != 0) read_online_no(deviceObject, room);
}

}  // namespace

const UpdateMsrHandler update_msr_fsm[kFlowStates] = {
    update_msr_off_online_no, update_msr_off_online_no, update_msr_online_hw,
    update_msr_off_online_no, update_msr_online_hw,
};
const WriteHandler write_fsm[kFlowStates] = {
    write_off_online_no, write_online_sw, write_online_hw, write_online_sw, write_online_hw,
};
const ReadHandler read_fsm[kFlowStates] = {
    read_offline, read_online_no, read_online_hw, read_online_sw, read_online_both,
};

void SelectFlowStates(const MDMContext& context, FlowState* transmit, FlowState* receive) {
  if ((context.msr & kMsrDcd) == 0) {
    *transmit = Offline;
    *receive = Offline;
    return;
  }
  *transmit = static_cast<FlowState>(OnlineNone + (context.writeHardFlow != 0 ? 1 : 0) +
                                     (context.writeSoftFlow != 0 ? 2 : 0));
  *receive = static_cast<FlowState>(OnlineNone + (context.readHardFlow != 0 ? 1 : 0) +
                                    (context.readSoftFlow != 0 ? 2 : 0));
}
