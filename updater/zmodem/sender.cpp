// The sender's state machine: one frame out, one answer in, until the modem confirms the end.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/base/check.h"
#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"
#include "updater/zmodem/zmodem.h"

ZModemContext zmodemContext;

namespace {

constexpr DWORD kFirstAnswerWaitMs = 6000;
constexpr LONG kAnswerWaitMs = 60000;
constexpr DWORD kAnswerBytes = 21;  // a hex header with CR, LF and XON
constexpr DWORD kFinalReplyWaitMs = 80000;
constexpr DWORD kAfterRzMs = 10;
constexpr DWORD kAfterRequestMs = 500;
constexpr LONG kFileInfoSize = 128;
constexpr char kStartReceiver[] = "rz\r\n";
constexpr char kOverAndOut[] = "OO";

// The dialog thread asks whether a transfer runs (Exit, Cancel) while the ZModem thread moves
// the state on and the update worker resets it: every change is stored as one atomic write, so
// that the question never races with it.
void SetState(LONG state) {
  std::atomic_ref<LONG>(zmodemContext.state).store(state);
}

HWND ProgressControl() {
  return theDialog != nullptr ? theDialog->progressControl : nullptr;
}

void WriteText(const char* text) {
  WriteToComm(reinterpret_cast<const BYTE*>(text), static_cast<LONG>(std::strlen(text)));
}

// Sends what is assembled in the frame area with one write, and empties it.
void WriteFrame() {
  ZModemContext& z = zmodemContext;
  MDM_ASSERT(z.frameCursor == z.frame && z.frameLength <= kFrameAreaSize);
  WriteToComm(z.frame, z.frameLength);
  z.frameLength = 0;
}

void SendHexFrame(BYTE type) {
  ZModemContext& z = zmodemContext;
  std::memset(z.txHeader, 0, sizeof(z.txHeader));
  z.txHeader[0] = type;
  SetHeaderPosition(0, z.txHeader);
  z.frameLength = 0;
  SendHexHeader(z);
  WriteFrame();
}

void SendBinaryFrame(BYTE type, LONG position) {
  ZModemContext& z = zmodemContext;
  z.txHeader[0] = type;
  SetHeaderPosition(position, z.txHeader);
  z.frameLength = 0;
  SendBinaryHeader(z);
  WriteFrame();
}

// The file information: base name, NUL, "size mtime 100666 ", NUL, zeros. The base name has at
// most 32 characters and the numbers at most 21 digits, so the text always fits the block.
void BuildFileInfo(BYTE (&info)[kFileInfoSize]) {
  std::memset(info, 0, sizeof(info));
  auto* text = reinterpret_cast<char*>(info);
  std::size_t nameLength = std::strlen(imageFile.baseName);
  MDM_ASSERT(nameLength <= 32);
  std::memcpy(text, imageFile.baseName, nameLength);
  std::snprintf(text + nameLength + 1, sizeof(info) - nameLength - 1, "%lu %s 100666 ",
                static_cast<unsigned long>(static_cast<DWORD>(zmodemContext.fileSize)),
                imageFile.mtimeOctal);
}

void AwaitNextAnswer() {
  WaitForZModemRsp(static_cast<DWORD>(zmodemContext.answerTimeout), kAnswerBytes);
}

void Abort() {
  SendZAbort();
  SetEvent(ZFailEvent);
}

// The answer from the modem, or false when its byte count cannot be had.
bool TakeAnswer() {
  CommPortSession& s = commPortSession;
  if (s.lastReadCount == 0) {
    SetLastError(0);
    if (!GetOverlappedResult(s.port, &s.readRequest, &s.lastReadCount, FALSE)) {
      char text[64];
      std::snprintf(text, sizeof(text), "GetOverLappedResult() failed (%d)\n",
                    static_cast<int>(GetLastError()));
      OutputDebugStringA(text);
      return false;
    }
  }
  MDM_ASSERT(s.lastReadCount <= sizeof(ModemReplyBuffer));
  zmodemContext.answer = ModemReplyBuffer;
  zmodemContext.answerCursor = 0;
  zmodemContext.answerLength = static_cast<LONG>(s.lastReadCount);
  return true;
}

// The next block after a confirmed one: a full block keeps the sender waiting for block
// acknowledgements, the rest of the file makes it wait for the last one.
void SendNextBlock() {
  ZModemContext& z = zmodemContext;
  MDM_ASSERT(z.filePosition >= 0 && z.filePosition <= z.fileSize);
  LONG remaining = z.fileSize - z.filePosition;
  LONG length = remaining > kBlockSize ? kBlockSize : remaining;
  SendZData(z.fileData + z.filePosition, length, ZCRCW);
  SetState(remaining > kBlockSize ? kAwaitingBlockAck : kAwaitingLastAck);
}

bool FinalReplyReportsError() {
  std::string_view reply(reinterpret_cast<const char*>(ModemReplyBuffer),
                         commPortSession.lastReadCount);
  return reply.find("ERROR") != std::string_view::npos;
}

}  // namespace

void ResetZModemContext() {
  ZModemContext& z = zmodemContext;
  // Every byte but the state's, which goes back to idle through SetState.
  auto* bytes = reinterpret_cast<BYTE*>(&z);
  constexpr std::size_t kStateAt = offsetof(ZModemContext, state);
  constexpr std::size_t kAfterState = kStateAt + sizeof(z.state);
  std::memset(bytes, 0, kStateAt);
  std::memset(bytes + kAfterState, 0, sizeof(z) - kAfterState);
  SetState(kSenderIdle);
  z.frameCursor = z.frame;
  z.answerTimeout = kAnswerWaitMs;
}

BOOL ZModemTransferActive() {
  return zmodemThread != nullptr &&
         std::atomic_ref<LONG>(zmodemContext.state).load() != kSenderIdle;
}

void StartZModemSend() {
  WriteText(kStartReceiver);
  Sleep(kAfterRzMs);
  SendHexFrame(ZRQINIT);
  Sleep(kAfterRequestMs);
}

void SendZFile() {
  ZModemContext& z = zmodemContext;
  z.fileSize = static_cast<LONG>(imageFile.size);
  z.fileData = imageFile.data;
  MDM_ASSERT(z.fileSize >= 0 && (z.fileData != nullptr || z.fileSize == 0));
  auto blocks = static_cast<WORD>(static_cast<DWORD>(z.fileSize) / kBlockSize + 1);
  SendMessageA(ProgressControl(), PBM_SETRANGE, 0, static_cast<LPARAM>(blocks) << 16);
  SendMessageA(ProgressControl(), PBM_SETSTEP, 1, 0);
  SendMessageA(ProgressControl(), PBM_SETPOS, 0, 0);
  BYTE info[kFileInfoSize];
  BuildFileInfo(info);
  std::memset(z.txHeader, 0, sizeof(z.txHeader));
  z.txHeader[0] = ZFILE;
  z.frameLength = 0;
  SendBinaryHeader(z);
  SendDataSubpacket(z, info, kFileInfoSize, ZCRCW);
  WriteFrame();
  z.filePosition = 0;
}

void SendZData(const BYTE* data, LONG length, BYTE frameEnd) {
  ZModemContext& z = zmodemContext;
  MDM_ASSERT(length >= 0 && length <= kBlockSize);
  SendMessageA(ProgressControl(), PBM_STEPIT, 0, 0);
  z.txHeader[0] = ZDATA;
  SetHeaderPosition(z.filePosition, z.txHeader);
  z.frameLength = 0;
  SendBinaryHeader(z);
  SendDataSubpacket(z, data, length, frameEnd);
  z.filePosition += length;
  WriteFrame();
}

void SendZEof() {
  SendBinaryFrame(ZEOF, zmodemContext.filePosition);
}
void SendZFin() {
  SendHexFrame(ZFIN);
}
void SendZAbort() {
  SendHexFrame(ZABORT);
}

void SendOverAndOut() {
  WriteText(kOverAndOut);
  Sleep(kAfterRequestMs);
  WaitForAnswer(FALSE, nullptr, kFinalReplyWaitMs);
}

void ZMSender() {
  ZModemContext& z = zmodemContext;
  if (z.state < kAwaitingReceiver || z.state > kAwaitingFin) {
    OutputDebugStringA("ZMSender: wrong state\n");
    OutputDebugStringA("TO DO!!!!!!\n");
    return;
  }
  if (!TakeAnswer()) {
    Abort();
    return;
  }
  bool goodHex = DecodeZModemHeader(z) == kGoodHexHeader;
  BYTE type = z.rxHeader[0];
  switch (z.state) {
    case kAwaitingReceiver:
      if (!goodHex || type != ZRINIT) return Abort();
      SendZFile();
      SetState(kAwaitingPosition);
      break;
    case kAwaitingPosition:
      if (!goodHex || type != ZRPOS) return Abort();
      LogString(IDS_SENDING_FIRMWARE);
      SendNextBlock();  // the position the modem asks for is not used: data starts at 0
      break;
    case kAwaitingBlockAck:
      if (!goodHex || type != ZACK) return Abort();
      SendNextBlock();
      break;
    // From here on any good hex header will do, or a header whose type got decoded right
    // before the decode failed (or the type left from the answer before).
    case kAwaitingLastAck:
      if (!goodHex && type != ZACK) return Abort();
      SendZEof();
      SetState(kAwaitingEofAnswer);
      break;
    case kAwaitingEofAnswer:
      if (!goodHex && type != ZRINIT) return Abort();
      SendZFin();
      SetState(kAwaitingFin);
      break;
    case kAwaitingFin:
      if (!goodHex && type != ZFIN) return Abort();
      LogString(IDS_CHECKING_FLASH);
      SendOverAndOut();
      SetEvent(FinalReplyReportsError() ? ZFailEvent : TransferDoneEvent);
      return;
  }
  AwaitNextAnswer();
}

void OnZModemStart() {
  ResetZModemContext();
  StartZModemSend();
  SetState(kAwaitingReceiver);
  WaitForZModemRsp(kFirstAnswerWaitMs, kAnswerBytes);
}
