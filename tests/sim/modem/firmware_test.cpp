#include "sim/modem/firmware.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::chrono_literals;
using sim::modem::Behaviour;
using sim::modem::Firmware;
using sim::modem::Mode;
using sim::modem::Output;

std::vector<Output> Send(Firmware& firmware, const std::string& text) {
  std::vector<Output> out;
  firmware.Receive(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), out);
  return out;
}

std::string Text(const std::vector<Output>& out) {
  std::string text;
  for (const auto& chunk : out) text.append(chunk.bytes.begin(), chunk.bytes.end());
  return text;
}

TEST(ModemFirmware, IdentifiesItselfByWhetherItHoldsModemCode) {
  Firmware withCode;
  auto out = Send(withCode, "ati9\r\n");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].after, 20ms);
  EXPECT_EQ(Text(out), "ati9\r\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n");

  Firmware loader(Behaviour{.hasModemCode = false});
  EXPECT_EQ(Text(Send(loader, "ati9\r\n")), "ati9\r\r\nUSB no modem code\r\n\r\nOK\r\n");
}

TEST(ModemFirmware, DownloadModeIsEnteredByAtAtDOrByABareX) {
  Firmware withCode;
  EXPECT_EQ(Text(Send(withCode, "at@d\r\n")), "at@d\r\r\n>>>");
  EXPECT_EQ(withCode.mode(), Mode::kDownload);
  Send(withCode, "rz\r\n");
  EXPECT_EQ(std::string(withCode.downloadBytes().begin(), withCode.downloadBytes().end()),
            "rz\r\n");

  Firmware loader(Behaviour{.hasModemCode = false});
  EXPECT_EQ(Text(Send(loader, "at@d\r\n")), "at@d\r\r\nERROR\r\n");
  EXPECT_EQ(loader.mode(), Mode::kCommand);
  EXPECT_EQ(Text(Send(loader, "x")), "x>>>");
  EXPECT_EQ(loader.mode(), Mode::kDownload);
}

TEST(ModemFirmware, CommandsMayArriveInPieces) {
  Firmware firmware;
  EXPECT_EQ(Text(Send(firmware, "at")), "at");  // echo only, no answer before the line end
  EXPECT_EQ(Text(Send(firmware, "i9\r")),
            "i9\r\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n");
}

TEST(ModemFirmware, BehavesAsTold) {
  Firmware silent(Behaviour{.silent = true});
  EXPECT_TRUE(Send(silent, "ati9\r\n").empty());

  Firmware bursts(Behaviour{.burstGap = 400ms});
  auto out = Send(bursts, "ati9\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(Text({out[0]}), "ati9\r");
  EXPECT_EQ(out[1].after, 400ms);

  Firmware chatty(Behaviour{.extraText = "USB noise\r\n"});
  EXPECT_EQ(Text(Send(chatty, "ati9\r")),
            "ati9\rUSB noise\r\n\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n");
}

}  // namespace
