#include "sim/modem/hayes.h"

#include <cctype>

namespace sim::modem {
namespace {

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Reads a decimal number at `at` (none: 0, and `found` stays false).
int Number(std::string_view line, std::size_t& at, bool* found = nullptr) {
  int value = 0;
  bool any = false;
  while (at < line.size() && IsDigit(line[at]) && value < 100000) {
    value = value * 10 + (line[at++] - '0');
    any = true;
  }
  if (found != nullptr) *found = any;
  return value;
}

// The dial string keeps its digits; tone or pulse, pauses and the punctuation people write
// numbers with change nothing on this line.
std::optional<std::string> DialNumber(std::string_view text) {
  std::string number;
  for (char c : text) {
    char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (IsDigit(c) || c == '*' || c == '#') {
      number.push_back(c);
    } else if (std::string_view(" -()TPW,;").find(upper) == std::string_view::npos) {
      return std::nullopt;
    }
  }
  if (number.empty()) return std::nullopt;
  return number;
}

// "Sn=v" or "Sn?" after the S.
bool Register(std::string_view line, std::size_t& at, AtCommand& command) {
  bool found = false;
  command.reg = Number(line, at, &found);
  if (!found || at >= line.size()) return false;
  if (line[at] == '?') {
    command.query = true;
    ++at;
    return true;
  }
  if (line[at] != '=') return false;
  ++at;
  command.value = Number(line, at);
  return true;
}

}  // namespace

std::optional<std::vector<AtCommand>> ParseAtLine(std::string_view line) {
  if (line.size() < 2 || std::toupper(static_cast<unsigned char>(line[0])) != 'A' ||
      std::toupper(static_cast<unsigned char>(line[1])) != 'T') {
    return std::nullopt;
  }
  std::vector<AtCommand> commands;
  std::size_t at = 2;
  while (at < line.size()) {
    if (line[at] == ' ') {
      ++at;
      continue;
    }
    AtCommand command;
    command.ampersand = line[at] == '&';
    if (command.ampersand && ++at >= line.size()) return std::nullopt;
    if (!std::isalpha(static_cast<unsigned char>(line[at]))) return std::nullopt;
    command.name = static_cast<char>(std::toupper(static_cast<unsigned char>(line[at++])));
    if (command.name == 'D' && !command.ampersand) {
      auto number = DialNumber(line.substr(at));
      if (!number) return std::nullopt;
      command.number = *number;
      commands.push_back(command);
      break;
    }
    if (command.name == 'S' && !command.ampersand) {
      if (!Register(line, at, command)) return std::nullopt;
    } else {
      command.value = Number(line, at);
    }
    commands.push_back(command);
  }
  return commands;
}

}  // namespace sim::modem
