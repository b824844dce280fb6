// mdmcore's chief header: the device extension with the modem context, the device table, the
// driver's global state, and the operations of its parts that the others call.
#pragma once

#include "driver/wire.h"
#include "platform/base/check.h"
#include "platform/usb/usb.h"
#include "platform/wdm/wdm.h"

// Every block of the driver comes from non-paged pool with this tag.
constexpr ULONG kPoolTag = 0x206D6457;  // "Wdm "
constexpr ULONG kPipeMaxTransfer = 4096;
constexpr ULONG kConfigReadSize = 1033;  // the first read of the configuration descriptor
constexpr UCHAR kConfigIndex = 1;        // the driver selects the device's second configuration
constexpr int kWorkerSlots = 4;
constexpr int kWorkerNameChars = 28;  // of the serial number kept in a slot

// ---- Device table ----------------------------------------------------------------------------

struct WorkerContext {
  char name[32];          // first 28 characters of the serial number and a NUL; "" when free
  DEVICE_OBJECT* device;  // null when the slot is free
};
static_assert(sizeof(WorkerContext::name) == 32);

extern WorkerContext* gpWorkerCnts;
extern FAST_MUTEX gFastMutex;

WorkerContext* findAFreeWorkerContext();
WorkerContext* findTheWorkerContext(DEVICE_OBJECT* deviceObject);
DEVICE_OBJECT* findTheDeviceObject(const char* name);

// ---- Modem context ---------------------------------------------------------------------------
// The transfer engine and the port bridge keep their state here. The records keep the host's
// natural alignment: their 32-bit fields are changed by interlocked operations, and nothing
// reads them by byte offset.

// A 32-bit field of the modem context as the interlocked operations take it.
inline LONG volatile* Interlocked(ULONG* field) {
  return reinterpret_cast<LONG volatile*>(field);
}
// Stores a 32-bit field in one interlocked exchange: the other contexts that read it without a
// lock see the old value or the new one, never a mixture.
inline void Store(ULONG* field, ULONG value) {
  InterlockedExchange(Interlocked(field), static_cast<LONG>(value));
}

// The outcome bits of a data channel's completion (`resultFlags`).
constexpr ULONG kResultRequestFailed = 0x1;  // the request packet ended with an error status
constexpr ULONG kResultUrbFailed = 0x2;      // the URB header status is an error
constexpr ULONG kResultPacketFailed = 0x4;   // the packet's status is an error, and no retry
// The retry case: the transfer is sent again unchanged. Assigned alone, never added to others.
constexpr ULONG kResultRetry = 0x8;

struct DataChannel {
  ULONG busy;
  ULONG resultFlags;
  IRP* irp;
  URB* urb;
  UCHAR buffer[64];
};

struct StatusChannel {
  ULONG busy;
  ULONG expectedSeq;
  ULONG emptyCount;
  ULONG resyncSeq;
  ULONG modemTxLevel;
  ULONG modemRxLevel;
  ULONG statusFlags;
  ULONG outSequence;
  ULONG lineBits;
  // 1 while the packet of the completion being handled was decoded: only then is
  // `outSequence` the sequence byte the modem asks for now.
  ULONG outSequenceFresh;
  IRP* irp;
  URB* urb;
  UCHAR buffer[8];
};

// `busy` of the control channel while the transfer that a stop gave up waiting for is still
// with the bus (1 while any other is). It holds off the next control transfer, since the request
// and the buffer are still the bus's, but not the polling timer: a start after such a stop runs
// the status chain at once, and control traffic resumes once the late completion has come.
inline constexpr ULONG kControlLeftByStop = 2;

struct ControlChannel {
  UCHAR lastKind;
  ULONG failures;
  ULONG busy;
  IRP* irp;
  URB* urb;
  UCHAR buffer[32];
};

// The index of the flow-control tables, computed for each direction at every status completion.
enum FlowState : ULONG {
  Offline = 0,
  OnlineNone = 1,
  OnlineHardware = 2,
  OnlineSoftware = 3,
  OnlineBoth = 4,
};
constexpr ULONG kFlowStates = 5;

// How often the status completions used each row of the three flow-control tables, and how
// often each direction entered each state (a state other than at the completion before). The
// tables never read them; they are there for tests and reports.
struct FlowCounters {
  ULONG updateMsrRows[kFlowStates];
  ULONG writeRows[kFlowStates];
  ULONG readRows[kFlowStates];
  ULONG transmitEntered[kFlowStates];
  ULONG receiveEntered[kFlowStates];
  FlowState lastTransmit;
  FlowState lastReceive;
};

struct MDMContext {
  ULONG active;
  DataChannel dataIn;
  DataChannel dataOut;
  StatusChannel status;
  ControlChannel control;
  KTIMER pollTimer;
  KDPC pollDpc;
  LONGLONG pollPeriod;
  LONGLONG startDelay;
  ULONG portAttached;
  ULONG portContext;
  ULONG portCallback;  // flat code address of the port side's callback; 0: none
  ULONG lineSettingsPending;
  ULONG lineRate;
  ULONG lineFormat0;
  ULONG lineFormat1;
  ULONG lineFormat2;
  ULONG modemControlPending;
  ULONG dtr;
  ULONG rts;
  ULONG msr;
  ULONG outX;
  ULONG readSoftFlow;
  ULONG writeSoftFlow;
  ULONG keepXonXoff;
  ULONG xonChar;
  ULONG xoffChar;
  ULONG modemXon;
  ULONG hostXon;
  ULONG writeHardFlow;
  ULONG readHardFlow;
  UCHAR inScratch[64];
  UCHAR outScratch[64];
  // The record of the driver's calls to the port side. It lies in the device extension, which
  // has a flat address for the device's life, so a call needs no mapping of its own; a call made
  // while the port side is still inside the previous one uses a record on the stack instead.
  PortRecord portRecord;
  ULONG portRecordFlat;  // 0 until the first call
  ULONG portRecordBusy;
  FlowCounters flowCounters;
};

// ---- Device extension ------------------------------------------------------------------------

struct DEVICE_EXTENSION {
  DEVICE_OBJECT* lowerDevice;
  DEVICE_OBJECT* physicalDevice;
  DEVICE_POWER_STATE devicePowerState;
  USBD_CONFIGURATION_HANDLE configHandle;
  USB_CONFIGURATION_DESCRIPTOR* configDescriptor;
  USB_DEVICE_DESCRIPTOR* deviceDescriptor;
  USBD_INTERFACE_INFORMATION* interfaceInfo;
  DEVICE_CAPABILITIES capabilities;
  IRP* heldSystemPowerIrp;
  KEVENT removeEvent;
  KEVENT idleEvent;
  KEVENT selfPowerEvent;
  LONG ioCount;
  BOOLEAN removed;
  BOOLEAN removePending;
  BOOLEAN stopPending;
  BOOLEAN started;
  BOOLEAN wakeArmed;
  BOOLEAN selfPowerPending;
  DEVICE_POWER_STATE autoPowerDownState;
  ULONG pipeMaxTransfer;
  MDMContext modemContext;
  char serialNumber[65];
  char productName[65];
};

inline DEVICE_EXTENSION* Extension(DEVICE_OBJECT* deviceObject) {
  return static_cast<DEVICE_EXTENSION*>(deviceObject->DeviceExtension);
}

// ---- Driver entry, device and dispatch -------------------------------------------------------

NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);
void BulkUsb_Unload(DRIVER_OBJECT* driverObject);
NTSTATUS BulkUsb_CreateDeviceObject(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDevice,
                                    DEVICE_OBJECT** deviceObject);
LONG BulkUsb_IncrementIoCount(DEVICE_OBJECT* deviceObject);
LONG BulkUsb_DecrementIoCount(DEVICE_OBJECT* deviceObject);
BOOLEAN BulkUsb_CanAcceptIoRequests(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_Create(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS BulkUsb_Close(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS BulkUsb_ProcessIOCTL(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS BulkUsb_ProcessSysControlIrp(DEVICE_OBJECT* deviceObject, IRP* irp);

// ---- Plug and Play and USB configuration -----------------------------------------------------

NTSTATUS BulkUsb_PnPAddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDevice);
NTSTATUS BulkUsb_ProcessPnPIrp(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS BulkUsb_StartDevice(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_ConfigureDevice(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_SelectInterface(DEVICE_OBJECT* deviceObject,
                                 USB_CONFIGURATION_DESCRIPTOR* configDescriptor);
NTSTATUS BulkUsb_StopDevice(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_RemoveDevice(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_AbortPipes(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_CallUSBD(DEVICE_OBJECT* deviceObject, URB* urb);
NTSTATUS BulkUsb_IrpCompletionRoutine(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);

// ---- Power -----------------------------------------------------------------------------------

NTSTATUS BulkUsb_ProcessPowerIrp(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS BulkUsb_PoRequestCompletion(DEVICE_OBJECT* deviceObject, UCHAR minorFunction,
                                     POWER_STATE powerState, PVOID context,
                                     IO_STATUS_BLOCK* ioStatus);
NTSTATUS BulkUsb_PowerIrp_Complete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);
BOOLEAN BulkUsb_SetDevicePowerState(DEVICE_OBJECT* deviceObject, DEVICE_POWER_STATE state);
NTSTATUS BulkUsb_SelfSuspendOrActivate(DEVICE_OBJECT* deviceObject, BOOLEAN suspend);
NTSTATUS BulkUsb_SelfRequestPowerIrp(DEVICE_OBJECT* deviceObject, DEVICE_POWER_STATE state);
NTSTATUS BulkUsb_PoSelfRequestCompletion(DEVICE_OBJECT* deviceObject, UCHAR minorFunction,
                                         POWER_STATE powerState, PVOID context,
                                         IO_STATUS_BLOCK* ioStatus);
NTSTATUS BulkUsb_QueryCapabilities(DEVICE_OBJECT* lowerDeviceObject,
                                   DEVICE_CAPABILITIES* capabilities);

// ---- Modem context and port side -------------------------------------------------------------

void InitMDMContext(DEVICE_OBJECT* deviceObject);
void MDMSwitchToD0(DEVICE_OBJECT* deviceObject);
void MDMSwitchToD3(DEVICE_OBJECT* deviceObject);
void FinitMDMContext(DEVICE_OBJECT* deviceObject);
void polling_timer_fn(KDPC* dpc, PVOID context, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN IsModemBusy(DEVICE_OBJECT* deviceObject, PVOID unused);
ULONG WDMInitForPort(DEVICE_OBJECT* deviceObject, const char* name);
ULONG wdm_disp_fn(ULONG record);
ULONG PollFnForVxD(ULONG record);

ULONG wdm_callback(ULONG deviceHandle, ULONG record);

// Neither the modem nor the host has stopped the other with XOFF: the state of a new context
// and of a port side that attaches after none. Left at 0, a port side that attaches before the
// first status completion would never be sent a byte under software flow control, since only
// an XON from the modem sets modemXon again. A port side that attaches again keeps the XOFF in
// force.
void NoXoffInForce(MDMContext& context);

// Calls the attached port side with a record of `function` and parameter 1; false when no port
// side is attached (no call is made then). The record is handed back for what the port side
// wrote into it.
BOOLEAN PortCall(MDMContext& context, ULONG function, ULONG parameter1, PortRecord* out);

// ---- Flow control ----------------------------------------------------------------------------

using UpdateMsrHandler = void (*)(MDMContext* context);
using WriteHandler = void (*)(DEVICE_OBJECT* deviceObject, LONG count);
using ReadHandler = void (*)(DEVICE_OBJECT* deviceObject, LONG room);
extern const UpdateMsrHandler update_msr_fsm[kFlowStates];
extern const WriteHandler write_fsm[kFlowStates];
extern const ReadHandler read_fsm[kFlowStates];

// The transmit and receive states, from msr as it is before this status is applied.
void SelectFlowStates(const MDMContext& context, FlowState* transmit, FlowState* receive);

constexpr LONG kTxStopLevel = 1676;  // 0x68C: the modem's transmit level that stops output
constexpr LONG kCtsResumeLevel = 512;

// The modem status register (`msr`) shown to the port side: delta bits below, line bits above.
constexpr ULONG kMsrDeltaCts = 0x01;
constexpr ULONG kMsrDeltaDsr = 0x02;
constexpr ULONG kMsrDeltaDcd = 0x08;
constexpr ULONG kMsrCts = 0x10;
constexpr ULONG kMsrDsr = 0x20;
constexpr ULONG kMsrDcd = 0x80;
constexpr ULONG kMsrLines = 0xF0;  // the line bits; the delta bits are cleared once reported
constexpr ULONG kMsrRegister = 0xFF;
// The status packet's line bits (CTS, DSR, ring, DCD) sit four places lower than in msr.
constexpr ULONG kLineBitsToMsrShift = 4;

// ---- Transfer engine -------------------------------------------------------------------------

// Shared by the three isochronous channels. Every start, and every retry, is for the frame after
// the current one: the transfer starts at the current frame plus this offset less one.
constexpr ULONG kFrameOffset = 2;
ULONG IsoUsb_GetCurrentFrame(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS IsoUsb_CompletionStop(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);

// Status pipe.
NTSTATUS IsoUsb_StartReadStatus(DEVICE_OBJECT* deviceObject);
NTSTATUS IsoUsb_BuildReadStatusRequest(DEVICE_OBJECT* deviceObject);
NTSTATUS IsoUsb_IsoIrp_ReadStatusComplete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);
NTSTATUS IsoUsb_ProcessReadStatusTransfer(MDMContext* context);
void IsoUsb_StatusPktControlProtocol(StatusChannel* channel);
void IsoUsb_StatusPktDecoding(StatusChannel* channel);
void IsoUsb_UpdateModemStatus(DEVICE_OBJECT* deviceObject);
void IsoUsb_PutMSRToVXD(MDMContext* context, UCHAR msr, LONG* room, LONG* count);
NTSTATUS IsoUsb_StopReadStatus(DEVICE_OBJECT* deviceObject);

// Data-out path.
NTSTATUS IsoUsb_DataWritePacket(DEVICE_OBJECT* deviceObject, ULONG frameOffset, ULONG count);
void IsoUsb_DataWrite_GetFromVxd(MDMContext* context, ULONG count);
NTSTATUS IsoUsb_BuildDataWriteRequest(DEVICE_OBJECT* deviceObject, ULONG frameOffset);
NTSTATUS IsoUsb_DataResendPacket(DEVICE_OBJECT* deviceObject, ULONG frameOffset);
NTSTATUS IsoUsb_IsoIrp_DataWriteComplete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);
NTSTATUS IsoUsb_DataWriteFreeResource(DEVICE_OBJECT* deviceObject);

// Data-in path.
NTSTATUS IsoUsb_DataReadPacket(DEVICE_OBJECT* deviceObject, ULONG frameOffset);
NTSTATUS IsoUsb_BuildDataReadRequest(DEVICE_OBJECT* deviceObject, ULONG frameOffset);
NTSTATUS IsoUsb_DataRead_ResendRequest(DEVICE_OBJECT* deviceObject, ULONG frameOffset);
NTSTATUS IsoUsb_IsoIrp_DataReadComplete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);
NTSTATUS IsoUsb_ProcessDataReadTransfer(MDMContext* context);
NTSTATUS IsoUsb_DataReadPktControlProtocol(DataChannel* channel);
void IsoUsb_DataRead_PutIntoVxd(MDMContext* context);
NTSTATUS IsoUsb_DataReadFreeResource(DEVICE_OBJECT* deviceObject);

// Control requests.
constexpr ULONG kControlFailureLimit = 4;
// The kinds of BulkUsb_WriteCommand.
constexpr ULONG kCommandLineSettings = 1;
constexpr ULONG kCommandModemControl = 2;
NTSTATUS BulkUsb_WriteCommand(DEVICE_OBJECT* deviceObject, ULONG kind);
NTSTATUS BulkUsb_ReadIndication(DEVICE_OBJECT* deviceObject);
NTSTATUS BulkUsb_StartControlRequest(DEVICE_OBJECT* deviceObject, UCHAR kind);
NTSTATUS BulkUsb_ControlComplete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);
NTSTATUS BulkUsb_ProcessControlTransfer(MDMContext* context, ULONG length);
void DumpBinData(const UCHAR* buffer, ULONG length);
NTSTATUS BulkUsb_FreeResources(DEVICE_OBJECT* deviceObject);

// ---- Modem installation ----------------------------------------------------------------------

NTSTATUS USBDEV_GetStringDescriptor(DEVICE_OBJECT* deviceObject, UCHAR index, USHORT languageId,
                                    PVOID buffer, PULONG length);
NTSTATUS USBDEV_GetSerialNumber(DEVICE_OBJECT* deviceObject, UCHAR stringIndex);
NTSTATUS USBDEV_GetProductName(DEVICE_OBJECT* deviceObject, UCHAR stringIndex);
ULONG AddModem(DEVICE_OBJECT* deviceObject);
void VxD_shell_execute(const char* fileName, const char* firstText, const char* secondText);
