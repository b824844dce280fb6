#include "sim/modem/zmodem_receiver.h"

#include <cstring>
#include <string>

#include "sim/modem/file_info.h"
#include "sim/modem/zmodem_answer.h"

namespace sim::modem {

using zmodem::Header;
using zmodem::ReadEvent;

namespace {

// The behaviour without its faults: the timing stays.
ZmodemBehaviour Faultless(const ZmodemBehaviour& behaviour) {
  return {.answerDelay = behaviour.answerDelay, .flashCheckTime = behaviour.flashCheckTime};
}

}  // namespace

void ZmodemReceiver::Receive(std::span<const std::uint8_t> bytes, const ZmodemBehaviour& behaviour,
                             std::vector<Output>& out) {
  const ZmodemBehaviour faultless = Faultless(behaviour);
  for (std::uint8_t byte : bytes) {
    bool faultsHold = behaviour.faultyTransfers == 0 || transfers_ <= behaviour.faultyTransfers;
    Sink sink{faultsHold ? behaviour : faultless, out};
    if (state_ == ZmodemState::kWaitingForRz) {
      if (MatchRz(byte)) StartTransfer();
    } else if (MatchCancel(byte)) {
      Leave();
    } else {
      Take(byte, sink);
    }
  }
}

void ZmodemReceiver::Reset() {
  Leave();
  rzMatched_ = 0;
}

// "rz" and a carriage return start a download; whatever came before it is passed over.
bool ZmodemReceiver::MatchRz(std::uint8_t byte) {
  static constexpr char kStart[] = "rz\r";
  if (byte == kStart[rzMatched_]) {
    ++rzMatched_;
  } else {
    rzMatched_ = byte == kStart[0] ? 1 : 0;
  }
  if (rzMatched_ < std::strlen(kStart)) return false;
  rzMatched_ = 0;
  return true;
}

// Five CAN in a row cancel the session wherever they come: data never holds two raw CAN in a
// row, since ZDLE (the same byte) is always followed by the escaped byte.
bool ZmodemReceiver::MatchCancel(std::uint8_t byte) {
  cans_ = byte == zmodem::kCan ? cans_ + 1 : 0;
  return cans_ >= 5;
}

void ZmodemReceiver::StartTransfer() {
  state_ = ZmodemState::kReceiving;
  reader_.Reset();
  flash_.Erase();
  cans_ = 0;
  overAndOut_ = 0;
  fileOpen_ = false;
  damaged_ = false;
  position_ = 0;
  zacks_ = 0;
  ++transfers_;
}

void ZmodemReceiver::Take(std::uint8_t byte, Sink& sink) {
  if (state_ == ZmodemState::kClosing) {
    // After ZFIN the sender says "OO"; anything else goes on as frames (a repeated ZFIN).
    overAndOut_ = byte == 'O' ? overAndOut_ + 1 : 0;
    if (overAndOut_ == 2) OnOverAndOut(sink);
    if (overAndOut_ > 0) return;
  }
  switch (reader_.Feed(byte)) {
    case ReadEvent::kHeader:
      OnHeader(reader_.header(), sink);
      break;
    case ReadEvent::kSubpacket:
      OnSubpacket(sink);
      break;
    case ReadEvent::kBadSubpacket:
      OnBadSubpacket(sink);
      break;
    case ReadEvent::kBadHeader:  // garbled: the sender's time-out deals with it
    case ReadEvent::kNone:
      break;
  }
}

void ZmodemReceiver::OnHeader(const Header& header, Sink& sink) {
  // Full duplex, receives while writing, takes CRC-32; no buffer limit (stop-and-wait is the
  // sender's choice).
  static const Header kRInit{
      {zmodem::kRInit, 0, 0, 0, zmodem::kCanFdx | zmodem::kCanOvIo | zmodem::kCanFc32}};
  switch (header.type()) {
    case zmodem::kRqInit:
      Answer(ZmodemStep::kZrinit, kRInit, sink);
      break;
    case zmodem::kData:
      position_ = header.position();
      break;
    case zmodem::kEof:
      // Short of the end, more data would be coming: the ZEOF is ignored.
      if (fileOpen_ && header.position() == position_) Answer(ZmodemStep::kEofZrinit, kRInit, sink);
      break;
    case zmodem::kFin:
      state_ = ZmodemState::kClosing;
      Answer(ZmodemStep::kZfin, Header::At(zmodem::kFin, 0), sink);
      break;
    case zmodem::kAbort:
    case zmodem::kFErr:
      Leave();
      break;
    default:  // ZFILE's information follows; other frames are not used in a download
      break;
  }
}

void ZmodemReceiver::OnSubpacket(Sink& sink) {
  std::uint8_t type = reader_.header().type();
  if (type == zmodem::kFile) {
    flash_.SetFile(ParseFileInfo(reader_.data()));
    fileOpen_ = true;
    position_ = 0;
    Answer(ZmodemStep::kZrpos, Header::At(zmodem::kRPos, sink.behaviour.zrposPosition), sink);
    return;
  }
  if (type != zmodem::kData || !fileOpen_) return;
  std::span<const std::uint8_t> data = reader_.data();
  if (!flash_.Write(position_, data)) damaged_ = true;
  position_ += data.size();
  std::uint8_t end = reader_.frameEnd();
  if (end == zmodem::kCrcW || end == zmodem::kCrcQ) {
    ++zacks_;
    Answer(ZmodemStep::kZack, Header::At(zmodem::kAck, static_cast<std::uint32_t>(position_)),
           sink);
  }
}

// A garbled subpacket is lost: as the protocol has it, the receiver asks for the data again from
// the last good position. The loss is remembered for the flash check, since a stop-and-wait
// sender goes on with the next block instead.
void ZmodemReceiver::OnBadSubpacket(Sink& sink) {
  std::uint8_t type = reader_.header().type();
  if (type != zmodem::kFile && type != zmodem::kData) return;
  damaged_ = true;
  Answer(ZmodemStep::kNone, Header::At(zmodem::kRPos, static_cast<std::uint32_t>(position_)), sink);
}

void ZmodemReceiver::OnOverAndOut(Sink& sink) {
  const ZmodemBehaviour& behaviour = sink.behaviour;
  state_ = ZmodemState::kWaitingForRz;
  lastFlashCheck_ = FlashCheck(behaviour);
  ++transfersEnded_;
  lastEnd_ = {flash_.image().size(), true, *lastFlashCheck_};
  if (behaviour.silentAt.Matches(ZmodemStep::kFinalReply, zacks_)) return;
  std::string text = *lastFlashCheck_ ? kFlashCheckOk : kFlashCheckError;
  sink.out.push_back(
      {behaviour.answerDelay + behaviour.flashCheckTime, {text.begin(), text.end()}});
}

// The image is good when it is as long as ZFILE announced and nothing was lost on the way.
bool ZmodemReceiver::FlashCheck(const ZmodemBehaviour& behaviour) const {
  const FileInfo& file = flash_.file();
  return !behaviour.flashCheckFails && fileOpen_ && !damaged_ && file.size.has_value() &&
         *file.size == flash_.image().size();
}

void ZmodemReceiver::Answer(ZmodemStep::Kind step, Header header, Sink& sink) {
  const ZmodemBehaviour& behaviour = sink.behaviour;
  if (behaviour.silentAt.Matches(step, zacks_)) return;
  if (behaviour.wrongTypeAt.Matches(step, zacks_)) header.bytes[0] = behaviour.wrongType;
  zmodem::AnswerForm form{.binary = behaviour.binaryHeaderAt.Matches(step, zacks_),
                          .uppercase = behaviour.uppercaseHexAt.Matches(step, zacks_),
                          .badCrc = behaviour.badCrcAt.Matches(step, zacks_)};
  sink.out.push_back({behaviour.answerDelay, zmodem::EncodeAnswer(header, form)});
}

// Back to waiting for "rz": the next one starts a fresh download.
void ZmodemReceiver::Leave() {
  if (state_ != ZmodemState::kWaitingForRz) {
    ++transfersEnded_;
    lastEnd_ = {flash_.image().size(), false, false};
  }
  state_ = ZmodemState::kWaitingForRz;
  reader_.Reset();
  cans_ = 0;
  overAndOut_ = 0;
}

}  // namespace sim::modem
