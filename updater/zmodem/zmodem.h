// The ZModem sender of mdmflash: a stop-and-wait subset of the protocol that pushes the
// firmware image to the modem, one 512-byte block per frame, each confirmed before the next.
#pragma once

#include "platform/win32/windows.h"

// Protocol constants, named as the published protocol names them.
constexpr BYTE ZPAD = 0x2A;
constexpr BYTE ZDLE = 0x18;
constexpr BYTE ZBIN = 0x41;
constexpr BYTE ZHEX = 0x42;
constexpr BYTE ZBIN32 = 0x43;
constexpr BYTE ZCRCE = 0x68;
constexpr BYTE ZCRCG = 0x69;
constexpr BYTE ZCRCQ = 0x6A;
constexpr BYTE ZCRCW = 0x6B;
constexpr BYTE ZRUB0 = 0x6C;
constexpr BYTE ZRUB1 = 0x6D;
constexpr BYTE XON = 0x11;
constexpr BYTE XOFF = 0x13;
constexpr BYTE CAN = 0x18;

// Frame types.
constexpr BYTE ZRQINIT = 0;
constexpr BYTE ZRINIT = 1;
constexpr BYTE ZACK = 3;
constexpr BYTE ZFILE = 4;
constexpr BYTE ZABORT = 7;
constexpr BYTE ZFIN = 8;
constexpr BYTE ZRPOS = 9;
constexpr BYTE ZDATA = 10;
constexpr BYTE ZEOF = 11;

// Results of DecodeZModemHeader.
constexpr int kGoodHexHeader = 1;
constexpr int kGoodBinaryHeader = 2;
constexpr int kGoodBinary32Header = 3;
constexpr int kNoHeader = 0;
constexpr int kBadHeader = -1;

constexpr LONG kBlockSize = 512;
constexpr int kHeaderLength = 5;

// The frame area holds the largest frame the sender builds with every byte escaped: a binary
// header (3 lead-in bytes, 5 header and 2 CRC bytes, each escaped to two) and a subpacket of
// one block (each data byte and both CRC bytes escaped, ZDLE and the frame end, XON).
constexpr LONG kMaxBinaryHeaderLength = 3 + 2 * (kHeaderLength + 2);
constexpr LONG kMaxSubpacketLength = 2 * kBlockSize + 2 + 2 * 2 + 1;
constexpr LONG kFrameAreaSize = kMaxBinaryHeaderLength + kMaxSubpacketLength;
static_assert(kFrameAreaSize == 1048);

// The sender's states, kept as the numbers of the context's `state` field.
enum SenderState : LONG {
  kSenderIdle = 0,         // after ResetZModemContext: no transfer active
  kAwaitingReceiver = 1,   // "rz" and ZRQINIT sent, waiting for ZRINIT
  kAwaitingPosition = 2,   // ZFILE sent, waiting for ZRPOS
  kAwaitingBlockAck = 3,   // a ZDATA frame sent and more data left, waiting for ZACK
  kAwaitingLastAck = 4,    // the last ZDATA frame sent, waiting for ZACK
  kAwaitingEofAnswer = 5,  // ZEOF sent, waiting for ZRINIT
  kAwaitingFin = 6,        // ZFIN sent, waiting for the modem's ZFIN; then the final reply
};

// The one sender context of the program.
struct ZModemContext {
  BYTE rxHeader[kHeaderLength];  // last header decoded from the modem (type, P0..P3)
  BYTE txHeader[kHeaderLength];  // header of the next frame
  BYTE frame[kFrameAreaSize];
  // A SenderState; any other value is refused by ZMSender. The dialog thread reads it while the
  // worker threads change it, so the sender changes it only with atomic stores.
  LONG state;
  BYTE fileOptions[kHeaderLength];
  DWORD escapeAllControl;  // always 0: only the protocol's minimum set of bytes is escaped
  const BYTE* fileData;
  LONG fileSize;
  BYTE* frameCursor;  // where frame bytes go; with none they are dropped
  LONG frameLength;
  LONG filePosition;
  const BYTE* answer;
  LONG answerCursor;
  LONG answerLength;
  LONG answerTimeout;  // ms to wait for each answer after the first
};

extern ZModemContext zmodemContext;

// The byte SendEscapedByte produced last, for the whole program (it outlives frames and
// transfers).
extern BYTE lastEscapedByte;

// ---------------------------------------------------------------------------------------------
// Frames

void SetHeaderPosition(LONG position, BYTE* header);
void PutFrameByte(ZModemContext& context, BYTE byte);
void SendEscapedByte(ZModemContext& context, BYTE byte);
void SendHexHeader(ZModemContext& context);
void SendBinaryHeader(ZModemContext& context);
void SendDataSubpacket(ZModemContext& context, const BYTE* data, LONG length, BYTE frameEnd);
WORD Crc16Update(BYTE byte, WORD crc);
DWORD Crc32Update(BYTE byte, DWORD crc);

// ---------------------------------------------------------------------------------------------
// Answers

int NextAnswerByte(ZModemContext& context);
int DecodeZModemHeader(ZModemContext& context);
int ReadHexHeader(ZModemContext& context);
int ReadBinaryHeader(ZModemContext& context);
int ReadBinary32Header(ZModemContext& context);
int ReadHexByte(ZModemContext& context);
int ReadSevenBitChar(ZModemContext& context);
int ReadEscapedByte(ZModemContext& context);

// ---------------------------------------------------------------------------------------------
// The sender

void ResetZModemContext();
void StartZModemSend();
void SendZFile();
void SendZData(const BYTE* data, LONG length, BYTE frameEnd);
void SendZEof();
void SendZFin();
void SendZAbort();
void SendOverAndOut();

// One step per answer of the modem, on the ZModem thread.
void ZMSender();

// Handler of ZStartEvent on the ZModem thread: starts a transfer.
void OnZModemStart();

// TRUE while a transfer has been started and its context not yet reset.
BOOL ZModemTransferActive();
