// The sender's decoder of the modem's ZModem answers on any bytes, and its encoder against it.
// The decoder must never read past the answer (the answer is held in a block of exactly its
// size, so AddressSanitizer sees every byte beyond it) and must give one of its results; every
// header the sender encodes, hex or binary, must decode to itself; and no frame of a header and
// a block outgrows the frame area.
//
// Input: a byte of flags (bit 0: escape every control byte; bits 1-2: the block's frame end),
// the byte escaped last before, five header bytes (type, P0..P3), then the answer, whose first
// 512 bytes are also the block.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "updater/zmodem/zmodem.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zmodem_answer_fuzzer: %s\n", what);
  std::abort();
}

// Decodes headers from `answer` until it is used up, as answer after answer would be.
void DecodeAll(const std::vector<BYTE>& bytes) {
  auto answer = std::make_unique<BYTE[]>(bytes.size());
  if (!bytes.empty()) std::memcpy(answer.get(), bytes.data(), bytes.size());
  ZModemContext& z = zmodemContext;
  z.answer = answer.get();
  z.answerCursor = 0;
  z.answerLength = static_cast<LONG>(bytes.size());
  LONG before;
  do {
    before = z.answerCursor;
    int result = DecodeZModemHeader(z);
    if (result < kBadHeader || result > kGoodBinary32Header) Fail("a result out of range");
    if (z.answerCursor > z.answerLength) Fail("the cursor went past the answer");
  } while (z.answerCursor > before && z.answerCursor < z.answerLength);
  z.answer = nullptr;
}

// Encodes the context's txHeader with `send`, decodes the frame and compares.
void RoundTrip(void (*send)(ZModemContext&), int expected) {
  ZModemContext& z = zmodemContext;
  z.frameCursor = z.frame;
  z.frameLength = 0;
  send(z);
  std::vector<BYTE> frame(z.frame, z.frame + z.frameLength);
  std::memset(z.rxHeader, 0, sizeof(z.rxHeader));
  z.answer = frame.data();
  z.answerCursor = 0;
  z.answerLength = static_cast<LONG>(frame.size());
  if (DecodeZModemHeader(z) != expected) Fail("an encoded header does not decode");
  if (std::memcmp(z.rxHeader, z.txHeader, kHeaderLength) != 0) Fail("a header changed");
  z.answer = nullptr;
}

void FrameFits(const std::vector<BYTE>& answer, BYTE frameEnd) {
  ZModemContext& z = zmodemContext;
  auto length = static_cast<LONG>(std::min<std::size_t>(answer.size(), kBlockSize));
  z.frameCursor = z.frame;
  z.frameLength = 0;
  SendBinaryHeader(z);
  SendDataSubpacket(z, answer.data(), length, frameEnd);
  // PutFrameByte drops what does not fit; a frame that reaches the end may have lost bytes.
  if (z.frameLength >= kFrameAreaSize) Fail("a frame filled the frame area");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kLeadIn = 2 + kHeaderLength;
  if (size < kLeadIn) return -1;  // not worth keeping
  static constexpr BYTE kEnds[] = {ZCRCE, ZCRCG, ZCRCQ, ZCRCW};
  ZModemContext& z = zmodemContext;
  std::memset(&z, 0, sizeof(z));
  z.escapeAllControl = data[0] & 1;
  lastEscapedByte = data[1];
  std::memcpy(z.txHeader, data + 2, kHeaderLength);
  std::vector<BYTE> answer(data + kLeadIn, data + size);
  RoundTrip(SendHexHeader, kGoodHexHeader);
  RoundTrip(SendBinaryHeader, kGoodBinaryHeader);
  FrameFits(answer, kEnds[(data[0] >> 1) & 3]);
  DecodeAll(answer);
  return 0;
}
