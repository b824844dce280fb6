#include <cstdio>

#include "platform/registry/regedit4.h"

namespace platform::registry {
namespace {

// Hex lines are wrapped before this column, as the platform's editor does.
constexpr std::size_t kWrapColumn = 76;

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

// A REG_SZ is written as a quoted string only when reading it back gives the same bytes: one
// NUL at the end and nothing a line cannot hold before it.
bool PlainString(const Value& value) {
  const auto& data = value.data;
  if (value.type != kTypeSz || data.empty() || data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  }
  return true;
}

void AppendHex(std::string& line, std::string_view prefix, const std::vector<BYTE>& data) {
  line += prefix;
  std::size_t column = line.size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    line += kDigits[data[i] >> 4];
    line += kDigits[data[i] & 0xf];
    column += 2;
    if (i + 1 == data.size()) break;
    line += ',';
    ++column;
    if (column >= kWrapColumn) {
      line += "\\\n  ";
      column = 2;
    }
  }
}

std::string FormatValue(const Value& value) {
  std::string line = value.name.empty() ? "@" : Quote(value.name);
  line += '=';
  if (PlainString(value)) {
    const auto* chars = reinterpret_cast<const char*>(value.data.data());
    line += Quote(std::string_view(chars, value.data.size() - 1));
  } else if (value.type == kTypeDword && value.data.size() == 4) {
    const auto& d = value.data;
    DWORD number = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<DWORD>(d[3]) << 24);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", number);
    line += text;
  } else if (value.type == kTypeBinary) {
    AppendHex(line, "hex:", value.data);
  } else {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    AppendHex(line, prefix, value.data);
  }
  return line + '\n';
}

void FormatSection(const Key& key, const std::string& path, bool isRoot, std::string& out) {
  // Root keys always exist; they need a section only to carry values.
  if (isRoot && key.values.empty()) return;
  out += '[' + path + "]\n";
  for (const Value& value : key.values) out += FormatValue(value);
  out += '\n';
}

// Writes a root key and every key below it, parents first and subkeys in sorted order. The walk
// keeps its own stack and one path that grows and shrinks with it, so that neither the call
// stack nor the memory used grows with the depth of the tree.
void FormatRoot(const Key& root, std::string& out) {
  struct Level {
    const Key* key;
    std::map<std::string, std::unique_ptr<Key>>::const_iterator next;
    std::size_t pathLength;
  };
  std::string path = root.name;
  FormatSection(root, path, true, out);
  std::vector<Level> levels{{&root, root.subkeys.begin(), path.size()}};
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.key->subkeys.end()) {
      levels.pop_back();
      continue;
    }
    const Key& subkey = *(level.next++)->second;
    path.resize(level.pathLength);
    path += '\\';
    path += subkey.name;
    FormatSection(subkey, path, false, out);
    levels.push_back({&subkey, subkey.subkeys.begin(), path.size()});
  }
}

}  // namespace

std::string FormatRegedit4(const Tree& tree) {
  std::string out = "REGEDIT4\n\n";
  for (std::size_t i = 0; i < kRootNames.size(); ++i) FormatRoot(tree.Root(i), out);
  return out;
}

}  // namespace platform::registry
