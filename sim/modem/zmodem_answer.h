// The headers the modem's receiver answers with. Normally hex headers, each ended by CR, LF with
// the top bit set and XON (no XON after ZFIN). The other forms exist so that a test can make the
// modem answer wrongly.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/modem/zmodem.h"

namespace sim::modem::zmodem {

struct AnswerForm {
  bool binary = false;     // a binary CRC-16 header instead of the hex one
  bool uppercase = false;  // hex digits A-F instead of a-f
  bool badCrc = false;     // the CRC sent does not match the header
};

std::vector<std::uint8_t> EncodeAnswer(const Header& header, AnswerForm form = {});

}  // namespace sim::modem::zmodem
