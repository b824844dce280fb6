// mdmcore's wire formats: the packets on the modem's five pipes and the record exchanged with
// the serial-port driver. Addresses in them are 32-bit flat addresses of the virtual-device
// layer. Every layout is byte-exact and checked.
#pragma once

#include "platform/base/types.h"

// ---- Packets on the USB pipes ----------------------------------------------------------------

// The endpoint addresses of the modem's five pipes (bit 7 set: IN, towards the host).
constexpr UCHAR kStatusEndpoint = 0x81;      // isochronous IN: status packets
constexpr UCHAR kDataInEndpoint = 0x85;      // isochronous IN: data from the modem
constexpr UCHAR kDataOutEndpoint = 0x06;     // isochronous OUT: data to the modem
constexpr UCHAR kIndicationEndpoint = 0x83;  // bulk IN: indications
constexpr UCHAR kCommandEndpoint = 0x04;     // bulk OUT: commands

// The modem's 8-byte status packet (isochronous IN 0x81). Bytes 0..2 hold a 24-bit little-endian
// word: transmit level (bits 0..10), receive level (bits 11..21), flags (bits 22..23).
struct StatusPacket {
  UCHAR word[3];
  UCHAR unused3;
  UCHAR outSequence;  // sequence byte for the next data-out packet
  UCHAR unused5;
  UCHAR lineBits;  // bit 0 CTS, bit 1 DSR, bit 2 ring, bit 3 DCD
  UCHAR sequence;  // 0: no status; else 1..254
};
static_assert(sizeof(StatusPacket) == 8);

constexpr ULONG kStatusLevelMask = 0x7FF;
constexpr ULONG kStatusRxShift = 11;
constexpr ULONG kStatusFlagShift = 22;
constexpr ULONG kStatusFlagMask = 3;
constexpr ULONG kStatusFlagIndication = 1;  // in statusFlags
// The line bits of byte 6.
constexpr ULONG kLineCts = 0x01;
constexpr ULONG kLineDsr = 0x02;
constexpr ULONG kLineRing = 0x04;
constexpr ULONG kLineDcd = 0x08;
// The sequence byte: 0 marks a packet without status; the others count 1..254 and wrap to 1.
constexpr ULONG kNoStatusSequence = 0;
constexpr ULONG kFirstSequence = 1;
constexpr ULONG kMaxSequence = 254;

// The 64 bytes of every data-out transfer (isochronous OUT 0x06).
struct DataOutPacket {
  UCHAR sequence;
  UCHAR length;  // 0..62
  UCHAR payload[62];
};
static_assert(sizeof(DataOutPacket) == 64);

// The 64 bytes of a data-in transfer (isochronous IN 0x85): the length N, N bytes, and then the
// sequence byte at offset 1 + N (kFirstSequence..kMaxSequence: data; 0 or 255: none).
struct DataInPacket {
  UCHAR length;
  UCHAR bytes[63];  // payload followed by the sequence byte
};
static_assert(sizeof(DataInPacket) == 64);

constexpr ULONG kPacketPayload = 62;

// The 32-byte control message on the bulk pipes: commands to 0x04, indications from 0x83.
struct ControlMessage {
  UCHAR bytes[32];
};
static_assert(sizeof(ControlMessage) == 32);

// Commands (driver to modem), bytes 0 and 1.
constexpr UCHAR kLineSettingsCode[2] = {0x88, 0x01};
constexpr UCHAR kModemControlCode[2] = {0x83, 0x02};
// LineSettings: the line rate at bytes 2..5 (little-endian), the three format bytes at 6..8.
constexpr int kLineRateOffset = 2;
constexpr int kLineRateBytes = 4;
constexpr int kLineFormat0Offset = 6;
constexpr int kLineFormat1Offset = 7;
constexpr int kLineFormat2Offset = 8;
// ModemControl: DTR at byte 2, RTS at byte 3, each 1 or 0.
constexpr int kModemControlDtr = 2;
constexpr int kModemControlRts = 3;
// Indications (modem to driver): byte 0 bit 7 marks a valid one; byte 1 is its kind.
constexpr int kIndicationMarkOffset = 0;
constexpr int kIndicationKindOffset = 1;
constexpr UCHAR kIndicationValid = 0x80;
constexpr UCHAR kIndicationNone = 0;
constexpr UCHAR kIndicationDebugText = 1;
constexpr UCHAR kIndicationFlowSettings = 2;
// DebugText: byte 2 holds the text's length (bits 0..6) and its hexadecimal mark (bit 7); the
// text follows from byte 3.
constexpr int kDebugTextHeader = 2;
constexpr UCHAR kDebugTextHex = 0x80;
constexpr UCHAR kDebugTextLengthMask = 0x7F;
constexpr int kDebugTextStart = 3;
constexpr ULONG kDebugTextRoom = 29;  // text bytes that fit after byte 2
static_assert(kDebugTextStart + kDebugTextRoom == sizeof(ControlMessage));
// FlowSettings: byte offsets of its seven values.
constexpr int kFlowXonChar = 2;
constexpr int kFlowXoffChar = 3;
constexpr int kFlowWriteSoft = 4;
constexpr int kFlowReadSoft = 5;
constexpr int kFlowKeepXonXoff = 6;
constexpr int kFlowWriteHard = 7;
constexpr int kFlowReadHard = 8;

// ---- The serial-port driver's record ---------------------------------------------------------

// The 28-byte record exchanged with the serial-port driver in both directions.
struct PortRecord {
  ULONG function;
  ULONG result;
  ULONG unitName;  // flat address of a zero-terminated name
  ULONG parameter1;
  ULONG parameter2;
  ULONG deviceHandle;   // out: the handle for wdm_callback
  ULONG callbackEntry;  // out: flat code address of wdm_callback
};
static_assert(sizeof(PortRecord) == 28);

// Functions from the port side to the driver.
constexpr ULONG WDM_ATTACH = 1;
constexpr ULONG WDM_DETACH = 2;
constexpr ULONG WDM_SET_MCR = 3;
constexpr ULONG WDM_SET_LINE = 4;
constexpr ULONG WDM_NOP = 5;
constexpr ULONG WDM_SET_XONXOFF = 6;
// Functions from the driver to the port side.
constexpr ULONG PORT_DETACH = 1;
constexpr ULONG PORT_PUT_DATA = 2;
constexpr ULONG PORT_GET_DATA = 3;
constexpr ULONG PORT_PUT_MSR = 4;

// WDM_SET_MCR, parameter 1: the two output lines.
constexpr ULONG kMcrDtr = 0x01;
constexpr ULONG kMcrRts = 0x02;
// WDM_SET_LINE, parameter 2: the three line-format bytes at record offsets 16, 17 and 18.
constexpr int kLineFormat1Byte = 0;
constexpr int kLineFormat0Byte = 1;
constexpr int kLineFormat2Byte = 2;
// WDM_SET_XONXOFF, parameter 1: bit 8 stops and resumes output on the modem's XON/XOFF.
constexpr ULONG kXonXoffOutXShift = 8;
// PORT_PUT_MSR, parameter 1: the modem status register in byte 13 (the register times 256).
constexpr ULONG kPutMsrShift = 8;

constexpr ULONG kPortHandled = 0x00010000;
constexpr ULONG kPortUnknownFunction = 0x80000000;
constexpr ULONG kPortUnitNotFound = 0x80000000;  // the one bit set in result

// The port side's callback: its context value and the flat address of a record.
using PortCallbackType = void(ULONG context, ULONG record);
using PortCallback = PortCallbackType*;
// wdm_callback: the device handle and the flat address of a record.
using WdmCallbackType = ULONG(ULONG deviceHandle, ULONG record);
