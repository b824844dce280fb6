// The modem's AT command set without a call: settings, result codes in both forms, echo and
// quiet, several commands on a line, and the dial string.
#include <gtest/gtest.h>

#include <string>

#include "sim/modem/firmware.h"
#include "sim/modem/hayes.h"

namespace {

using sim::modem::Behaviour;
using sim::modem::Firmware;
using sim::modem::Flow;
using sim::modem::Output;
using sim::modem::ParseAtLine;

std::string Say(Firmware& firmware, const std::string& text) {
  std::vector<Output> out;
  firmware.Receive(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), out);
  std::string heard;
  for (const auto& chunk : out) heard.append(chunk.bytes.begin(), chunk.bytes.end());
  return heard;
}

TEST(ModemCommands, EchoAndQuietChangeWhatTheHostSees) {
  Firmware modem;
  EXPECT_EQ(Say(modem, "ATE0\r"), "ATE0\r\r\nOK\r\n");  // the command itself still echoes
  EXPECT_EQ(Say(modem, "AT\r"), "\r\nOK\r\n");
  EXPECT_FALSE(modem.settings().echo);
  EXPECT_EQ(Say(modem, "ATQ1\r"), "");
  EXPECT_EQ(Say(modem, "ATS0?\r"), "\r\n000\r\n");  // information text, no result code
  EXPECT_EQ(Say(modem, "ATQ0E1\r"), "\r\nOK\r\n");
  EXPECT_EQ(Say(modem, "AT\r"), "AT\r\r\nOK\r\n");
}

TEST(ModemCommands, NumericResultCodesAreTheNumberAndACarriageReturn) {
  Firmware modem;
  EXPECT_EQ(Say(modem, "ATE0V0\r"), "ATE0V0\r0\r");
  EXPECT_EQ(Say(modem, "ATY\r"), "4\r");
  EXPECT_EQ(Say(modem, "ATA\r"), "3\r");  // nothing rings: no carrier
  EXPECT_EQ(Say(modem, "ATS7?\r"), "050\r\n0\r");
  EXPECT_EQ(Say(modem, "ATV1\r"), "\r\nOK\r\n");
}

TEST(ModemCommands, SeveralCommandsOnALineRunInOrderWithOneResult) {
  Firmware modem;
  EXPECT_EQ(Say(modem, "ATE0V1S0=2\r"), "ATE0V1S0=2\r\r\nOK\r\n");
  EXPECT_EQ(Say(modem, "ats0?s12?\r"), "\r\n002\r\n\r\n050\r\n\r\nOK\r\n");
  EXPECT_EQ(Say(modem, "AT S7=30 &K4 I9\r"),
            "\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n");
  EXPECT_EQ(modem.settings().s[7], 30);
  EXPECT_EQ(modem.settings().flow, Flow::kXonXoff);
  // An invalid command ends the line with ERROR; those before it have taken effect.
  EXPECT_EQ(Say(modem, "ATS0=1K\r"), "\r\nERROR\r\n");
  EXPECT_EQ(modem.settings().s[0], 1);
  EXPECT_EQ(Say(modem, "AT&F\r"), "\r\nOK\r\n");  // echo was still off for this line
  EXPECT_TRUE(modem.settings().echo);
  EXPECT_EQ(modem.settings().flow, Flow::kRtsCts);
}

TEST(ModemCommands, InvalidSettingsAreErrors) {
  Firmware modem;
  for (const char* line : {"ATE2\r", "ATS0=256\r", "ATS100?\r", "ATS0\r", "ATS=1\r", "AT&K2\r",
                           "AT&\r", "ATI3\r", "ATH1\r", "AT+\r"}) {
    EXPECT_EQ(Say(modem, line), std::string(line) + "\r\nERROR\r\n") << line;
  }
  EXPECT_EQ(modem.settings().s[0], 0);
}

TEST(ModemCommands, CallCommandsWithoutACallOrALine) {
  Firmware modem;
  EXPECT_EQ(Say(modem, "ATH\r"), "ATH\r\r\nOK\r\n");
  EXPECT_EQ(Say(modem, "ATO\r"), "ATO\r\r\nNO CARRIER\r\n");
  EXPECT_EQ(Say(modem, "ATD123\r"), "ATD123\r\r\nNO CARRIER\r\n");
  EXPECT_EQ(Say(modem, "ATDX1\r"), "ATDX1\r\r\nERROR\r\n");
}

TEST(ModemCommands, ABootLoaderKeepsItsFewAnswers) {
  Firmware loader(Behaviour{.hasModemCode = false});
  EXPECT_EQ(Say(loader, "ATE0\r"), "ATE0\r\r\nERROR\r\n");
  EXPECT_EQ(Say(loader, "AT\r"), "AT\r\r\nERROR\r\n");
  EXPECT_TRUE(loader.settings().echo);
}

TEST(ModemCommands, TheDialStringKeepsDigitsAndIgnoresPunctuation) {
  auto dial = ParseAtLine("ATDT 555-0123");
  ASSERT_TRUE(dial);
  ASSERT_EQ(dial->size(), 1u);
  EXPECT_EQ((*dial)[0].name, 'D');
  EXPECT_EQ((*dial)[0].number, "5550123");
  auto pulse = ParseAtLine("atE0dp(030) 12,34*#;");
  ASSERT_TRUE(pulse);
  ASSERT_EQ(pulse->size(), 2u);
  EXPECT_EQ((*pulse)[1].number, "0301234*#");
  EXPECT_FALSE(ParseAtLine("ATD"));
  EXPECT_FALSE(ParseAtLine("ATDT-"));
  EXPECT_FALSE(ParseAtLine("ATD12A"));
  EXPECT_FALSE(ParseAtLine("XTD12"));
}

TEST(ModemCommands, RegistersParseWithTheirValueOrQuery) {
  auto line = ParseAtLine("ATS7=30S0?&K3");
  ASSERT_TRUE(line);
  ASSERT_EQ(line->size(), 3u);
  EXPECT_EQ((*line)[0].reg, 7);
  EXPECT_EQ((*line)[0].value, 30);
  EXPECT_TRUE((*line)[1].query);
  EXPECT_TRUE((*line)[2].ampersand);
  EXPECT_EQ((*line)[2].name, 'K');
  EXPECT_EQ((*line)[2].value, 3);
  auto empty = ParseAtLine("at");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

}  // namespace
