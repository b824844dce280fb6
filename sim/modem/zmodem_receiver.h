// The receiving side of ZModem as the modem's download mode runs it, for one file per "rz":
//
//   host                          modem
//   "rz\r"                        (starts a download: the flash is erased)
//   hex ZRQINIT                   hex ZRINIT
//   binary ZFILE + file info      hex ZRPOS 0
//   binary ZDATA p + subpackets   hex ZACK with the new position, per ZCRCW or ZCRCQ subpacket;
//                                 hex ZRPOS with the last good position for a garbled one
//   binary ZEOF p                 hex ZRINIT if p is the position reached, else nothing (more
//                                 data would be coming)
//   hex ZFIN                      hex ZFIN
//   "OO"                          the flash check's reply, after the time the check takes
//
// Every answer is a hex header ended by CR, LF with the top bit set and XON (21 bytes), ZFIN
// without the XON (20 bytes). The modem answers only when asked, never on its own: the host
// reads one answer per frame. ZABORT, ZFERR or five CAN leave the transfer without an answer.
// The flash check fails when the image is not as long as ZFILE said or data was lost on the way.
// Faults at chosen steps make the modem answer the way a broken modem would.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/modem/flash.h"
#include "sim/modem/output.h"
#include "sim/modem/zmodem.h"
#include "sim/modem/zmodem_reader.h"

namespace sim::modem {

// A point of the transfer at which the modem answers.
struct ZmodemStep {
  enum Kind {
    kNone,
    kZrinit,      // the answer to ZRQINIT
    kZrpos,       // the answer to ZFILE
    kZack,        // the answer to a ZCRCW or ZCRCQ subpacket
    kEofZrinit,   // the answer to ZEOF
    kZfin,        // the answer to ZFIN
    kFinalReply,  // the text after "OO"
  };
  Kind kind = kNone;
  int n = 0;  // kZack only: the n-th ZACK of a transfer, counted from 1; 0 means every ZACK

  bool Matches(Kind answer, int zackNumber) const {
    if (kind == kNone || kind != answer) return false;
    return answer != kZack || n == 0 || n == zackNumber;
  }
};

// How the modem's receiver answers. Faults hold for every transfer, so that a modem with a
// fault fails each attempt the same way, unless `faultyTransfers` limits them to the first ones.
struct ZmodemBehaviour {
  Duration answerDelay = Duration::zero();  // from the end of a frame to its answer
  Duration flashCheckTime = std::chrono::milliseconds(1500);  // from "OO" to the final reply
  ZmodemStep silentAt = {};                                   // answers nothing at this step
  ZmodemStep wrongTypeAt = {};  // answers with a header of type wrongType instead
  std::uint8_t wrongType = zmodem::kNak;
  ZmodemStep badCrcAt = {};         // the answer's CRC does not match its header
  ZmodemStep binaryHeaderAt = {};   // a binary CRC-16 header instead of the hex one
  ZmodemStep uppercaseHexAt = {};   // hex digits in uppercase
  std::uint32_t zrposPosition = 0;  // the position ZRPOS names (data is written where ZDATA says)
  bool flashCheckFails = false;     // the final reply reports an error whatever was received
  int faultyTransfers = 0;          // the faults hold for the first n transfers only; 0: all
};

enum class ZmodemState { kWaitingForRz, kReceiving, kClosing };

// How a transfer ended: with the flash check after "OO" (its result), or left before it
// (cancelled, aborted, DTR dropped), which no image survives as good.
struct TransferEnd {
  std::size_t imageBytes = 0;  // what the flash holds
  bool checked = false;        // the flash check ran
  bool good = false;           // ... and found the image good
};

class ZmodemReceiver {
 public:
  static constexpr const char* kFlashCheckOk = "\r\nFlash check OK\r\n";
  static constexpr const char* kFlashCheckError = "\r\nFlash check ERROR\r\n";

  // Takes bytes of download mode and appends the answers.
  void Receive(std::span<const std::uint8_t> bytes, const ZmodemBehaviour& behaviour,
               std::vector<Output>& out);
  // Leaves a transfer in progress (DTR dropped); the flash keeps what was written.
  void Reset();

  ZmodemState state() const { return state_; }
  const Flash& flash() const { return flash_; }
  // The result of the last flash check, none before the first "OO".
  std::optional<bool> lastFlashCheck() const { return lastFlashCheck_; }
  // Transfers that have ended so far, and how the last one did.
  int transfersEnded() const { return transfersEnded_; }
  const TransferEnd& lastEnd() const { return lastEnd_; }

 private:
  struct Sink {
    const ZmodemBehaviour& behaviour;
    std::vector<Output>& out;
  };

  bool MatchRz(std::uint8_t byte);
  bool MatchCancel(std::uint8_t byte);
  void Take(std::uint8_t byte, Sink& sink);
  void StartTransfer();
  void OnHeader(const zmodem::Header& header, Sink& sink);
  void OnSubpacket(Sink& sink);
  void OnBadSubpacket(Sink& sink);
  void OnOverAndOut(Sink& sink);
  bool FlashCheck(const ZmodemBehaviour& behaviour) const;
  void Answer(ZmodemStep::Kind step, zmodem::Header header, Sink& sink);
  void Leave();

  ZmodemState state_ = ZmodemState::kWaitingForRz;
  zmodem::FrameReader reader_;
  Flash flash_;
  std::size_t rzMatched_ = 0;   // how much of "rz\r" the last bytes were
  int cans_ = 0;                // CAN bytes in a row
  int overAndOut_ = 0;          // "O" bytes in a row after ZFIN
  bool fileOpen_ = false;       // ZFILE's information has come
  bool damaged_ = false;        // a subpacket was lost or could not be written
  std::uint64_t position_ = 0;  // where the next data goes: set by ZDATA, advanced by its data
  int zacks_ = 0;               // ZACKs of this transfer so far
  int transfers_ = 0;           // transfers started so far
  std::optional<bool> lastFlashCheck_;
  int transfersEnded_ = 0;
  TransferEnd lastEnd_;
};

}  // namespace sim::modem
