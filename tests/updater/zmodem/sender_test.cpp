// The sender in a whole session, against a modem whose answers each test scripts.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/updater/session/update_harness.h"
#include "updater/zmodem/zmodem.h"

namespace update_test {
namespace {

using platform::clock::Milliseconds;

// Hex headers as the modem sends them, written out by hand so that the sender's own encoder is
// not what checks its decoder: ZPAD ZPAD ZDLE ZHEX, type and P0..P3 as lowercase hex digits,
// the CRC-16/XMODEM of those five bytes, CR, LF with the top bit set, and XON after every type
// but ZFIN (the modem sends it after ZACK too).
const std::string kZRinit =
    "**\x18"
    "B0100000000aa51\r\x8a\x11";
const std::string kZRpos =
    "**\x18"
    "B0900000000a87c\r\x8a\x11";
const std::string kZRposAt300 =  // position 300 = 0x12c: P0 0x2c, P1 0x01
    "**\x18"
    "B092c010000e730\r\x8a\x11";
const std::string kZAck =
    "**\x18"
    "B0300000000eed2\r\x8a\x11";
const std::string kZFin =
    "**\x18"
    "B0800000000022d\r\x8a";
// ZRINIT as a binary CRC-16 header: ZPAD ZDLE ZBIN, the five bytes, CRC 0xaa51; nothing escaped.
const std::string kBinaryZRinit(
    "*\x18"
    "A\x01\x00\x00\x00\x00\xaa\x51",
    10);

struct Frame {
  BYTE type;
  bool hex;
  std::string bytes;
};

// The header type of a frame the sender wrote, read without the sender's decoder.
Frame Classify(const std::string& bytes) {
  if (bytes.rfind("**\x18"
                  "B",
                  0) == 0) {
    return {static_cast<BYTE>(std::stoi(bytes.substr(4, 2), nullptr, 16)), true, bytes};
  }
  if (bytes.rfind("*\x18"
                  "A",
                  0) == 0)
    return {static_cast<BYTE>(bytes[3]), false, bytes};
  return {0xFF, false, bytes};
}

// The modem's side: identification and download prompt as a modem gives them, then one scripted
// answer per write of the sender.
struct ScriptedModem : platform::win32::CommDevice {
  std::vector<Frame> frames;
  std::function<std::string(const Frame&)> answer;

  std::size_t OnTransmit(platform::win32::InProcessPort& port,
                         std::span<const BYTE> bytes) override {
    std::string text(bytes.begin(), bytes.end());
    std::string reply;
    if (text == "ati9\r\n") {
      reply = "ati9\r\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n";
    } else if (text == "at@d\r\n" || text == "x") {
      reply = "\r\n>>>";
    } else if (text != "rz\r\n") {
      frames.push_back(Classify(text));
      reply = answer(frames.back());
    }
    if (!reply.empty()) {
      auto& clock = platform::clock::Current();
      clock.Schedule(clock.Now() + Milliseconds(1), [target = port.weak_from_this(), reply] {
        if (auto live = target.lock()) live->Deliver(std::vector<BYTE>(reply.begin(), reply.end()));
      });
    }
    return bytes.size();
  }
};

// What a cooperative modem answers to each frame.
std::string Cooperative(const Frame& frame) {
  if (frame.bytes == "OO") return "\r\nFlash check OK\r\n";
  switch (frame.type) {
    case ZRQINIT:
    case ZEOF:
      return kZRinit;
    case ZFILE:
      return kZRpos;
    case ZDATA:
      return kZAck;
    case ZFIN:
      return kZFin;
    default:
      return {};
  }
}

class SenderTest : public UpdateHarness {
 protected:
  void SetUp() override {
    UpdateHarness::SetUp();
    modem->answer = Cooperative;
    auto port = AddPlainPort("COM3");
    port->SetModemStatus(MS_CTS_ON | MS_DSR_ON);
    port->SetDevice(modem);
  }
  void UseImage(std::size_t size, char fill = 'I') {
    std::ofstream(*image, std::ios::binary | std::ios::trunc) << std::string(size, fill);
  }
  std::vector<BYTE> Types() const {
    std::vector<BYTE> types;
    for (const Frame& frame : modem->frames) types.push_back(frame.type);
    return types;
  }
  bool Sent(BYTE type) const {
    auto types = Types();
    return std::find(types.begin(), types.end(), type) != types.end();
  }

  std::shared_ptr<ScriptedModem> modem = std::make_shared<ScriptedModem>();
};

// The position in a binary header, unescaped.
LONG Position(const Frame& frame) {
  std::string bytes;
  for (std::size_t i = 4; i < frame.bytes.size() && bytes.size() < 4; ++i) {
    char c = frame.bytes[i];
    bytes += c == ZDLE ? static_cast<char>(frame.bytes[++i] ^ 0x40) : c;
  }
  return static_cast<LONG>(static_cast<BYTE>(bytes[0]) | static_cast<BYTE>(bytes[1]) << 8 |
                           static_cast<BYTE>(bytes[2]) << 16 | static_cast<BYTE>(bytes[3]) << 24);
}

TEST_F(SenderTest, A600ByteImageTravelsAsTheLineShowsIt) {
  UseImage(600);
  RunToEnd();
  EXPECT_EQ(Types(), (std::vector<BYTE>{ZRQINIT, ZFILE, ZDATA, ZDATA, ZEOF, ZFIN, 0xFF}));
  const auto& frames = modem->frames;
  EXPECT_EQ(frames[0].bytes,
            "**\x18"
            "B00000000000000\r\x8a\x11");
  std::string info = frames[1].bytes.substr(10, 128);  // after the binary ZFILE header
  EXPECT_EQ(info.substr(0, 10), std::string("modem.bin\0", 10));
  EXPECT_EQ(info.substr(10, 4), "600 ");
  EXPECT_NE(info.find(" 100666 "), std::string::npos);
  EXPECT_EQ(Position(frames[2]), 0);
  EXPECT_EQ(Position(frames[3]), 512);
  EXPECT_EQ(frames[3].bytes.size(), 10u + 88 + 2 + 2 + 1);  // header, data, ZDLE end, CRC, XON
  EXPECT_EQ(Position(frames[4]), 600);
  EXPECT_EQ(frames[5].bytes,
            "**\x18"
            "B0800000000022d\r\x8a");
  EXPECT_EQ(frames[6].bytes, "OO");
  EXPECT_TRUE(
      Log().ends_with("\r\nUpdate started...\r\n\r\nSending firmware to modem ...\r\n"
                      "\r\nChecking the flash ...\r\n"
                      "\r\nUpdate completed successfully!\r\nUpdate finished!\r\n"));
  auto progress = ui::GetProgressState(dialog.progressControl);
  EXPECT_EQ(progress.high, 2);
  EXPECT_EQ(progress.position, 2);
}

TEST_F(SenderTest, BlockCountFollowsTheImageSize) {
  UseImage(512);
  RunToEnd();
  EXPECT_EQ(Types(), (std::vector<BYTE>{ZRQINIT, ZFILE, ZDATA, ZEOF, ZFIN, 0xFF}));
}

TEST_F(SenderTest, ProgressRangeIsBlocksPlusOneAndStepsOncePerBlock) {
  UseImage(1024);
  RunToEnd();
  auto progress = ui::GetProgressState(dialog.progressControl);
  EXPECT_EQ(progress.low, 0);
  EXPECT_EQ(progress.high, 3);
  EXPECT_EQ(progress.step, 1);
  EXPECT_EQ(progress.position, 2);
}

TEST_F(SenderTest, AZrposForAnotherPositionStillGetsDataFromTheStart) {
  UseImage(513);
  modem->answer = [](const Frame& frame) {
    return frame.type == ZFILE ? kZRposAt300 : Cooperative(frame);
  };
  RunToEnd();
  EXPECT_EQ(Position(modem->frames[2]), 0);
  EXPECT_EQ(Position(modem->frames[3]), 512);
  EXPECT_NE(Log().find("completed successfully"), std::string::npos);
}

TEST_F(SenderTest, AnyGoodHexHeaderEndsTheLastBlock) {
  UseImage(100);
  modem->answer = [](const Frame& frame) {
    return frame.type == ZDATA ? kZRpos : Cooperative(frame);
  };
  RunToEnd();
  EXPECT_TRUE(Sent(ZEOF));
  EXPECT_NE(Log().find("completed successfully"), std::string::npos);
}

TEST_F(SenderTest, NoAnswerAfterTheRequestFailsWithoutAbort) {
  modem->answer = [](const Frame&) { return std::string(); };
  RunUntil([](const std::string& log) { return log.find("restarted") != std::string::npos; });
  EXPECT_FALSE(Sent(ZABORT));
  EXPECT_NE(debug.Text().find("WaitForZModemRsp: failed\n"), std::string::npos);
}

TEST_F(SenderTest, ABinaryZrinitIsAWrongAnswerAndAborts) {
  modem->answer = [](const Frame& frame) {
    return frame.type == ZRQINIT ? kBinaryZRinit : Cooperative(frame);
  };
  RunUntil([](const std::string& log) { return log.find("restarted") != std::string::npos; });
  ASSERT_GE(modem->frames.size(), 2u);
  EXPECT_EQ(modem->frames[1].type, ZABORT);
  EXPECT_EQ(modem->frames[1].bytes.substr(14, 4), "67d4");
}

TEST_F(SenderTest, ErrorInTheFinalReplyFailsTheTransfer) {
  modem->answer = [](const Frame& frame) {
    return frame.bytes == "OO" ? std::string("\r\nFlash ERROR\r\n") : Cooperative(frame);
  };
  RunUntil([](const std::string& log) { return log.find("restarted") != std::string::npos; });
  EXPECT_TRUE(
      Log().ends_with("\r\nChecking the flash ...\r\n\r\nSorry, update failed.\r\n"
                      "Update will be restarted\r\n"));
}

TEST_F(SenderTest, AnEmptyFinalReplyStillCountsAsSuccess) {
  modem->answer = [](const Frame& frame) {
    return frame.bytes == "OO" ? std::string() : Cooperative(frame);
  };
  RunToEnd();
  EXPECT_TRUE(
      Log().ends_with("\r\nChecking the flash ...\r\n"
                      "\r\nNo answer from the modem!!!\r\n"
                      "\r\nUpdate completed successfully!\r\nUpdate finished!\r\n"));
}

// The ZModem thread waits up to 60 s for an answer: a stop while it waits asks first, and then
// ends it after the 5 s bound.
TEST_F(SenderTest, StopDuringATransferAsksAndEndsTheThreadsWithinTheBound) {
  modem->answer = [](const Frame& frame) {
    return frame.type == ZDATA ? std::string() : Cooperative(frame);
  };
  RunUntil(
      [](const std::string& log) { return log.find("Sending firmware") != std::string::npos; });
  boxAnswers = {IDNO, IDYES};
  EXPECT_FALSE(ConfirmStop());
  EXPECT_NE(zmodemThread, nullptr);
  EXPECT_TRUE(ConfirmStop());
  auto before = time.NowMs();
  StopSession();
  EXPECT_EQ(time.NowMs() - before, 5000);  // the worker ends at once, the ZModem thread at 5 s
  EXPECT_EQ(zmodemThread, nullptr);
  EXPECT_EQ(updateWorkerThread, nullptr);
}

}  // namespace
}  // namespace update_test
