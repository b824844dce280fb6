#include "tools/mdmreg/values.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "platform/registry/names.h"

namespace mdmreg {
namespace {

namespace reg = platform::registry;

constexpr DWORD kTypeExpandSz = 2;
constexpr DWORD kTypeMultiSz = 7;

bool ParseUnsigned(std::string_view text, int base, std::uint64_t max, std::uint64_t& number) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
  return error == std::errc() && end == text.data() + text.size() && number <= max;
}

std::optional<std::vector<BYTE>> ParseHexBytes(std::string_view text) {
  std::vector<BYTE> bytes;
  std::uint64_t byte = 0;
  if (text.find(',') != std::string_view::npos) {
    while (true) {
      std::size_t comma = text.find(',');
      if (!ParseUnsigned(text.substr(0, comma), 16, 0xff, byte)) return std::nullopt;
      bytes.push_back(static_cast<BYTE>(byte));
      if (comma == std::string_view::npos) return bytes;
      text.remove_prefix(comma + 1);
    }
  }
  if (text.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (!ParseUnsigned(text.substr(i, 2), 16, 0xff, byte)) return std::nullopt;
    bytes.push_back(static_cast<BYTE>(byte));
  }
  return bytes;
}

std::string HexBytes(const std::vector<BYTE>& data) {
  std::string text;
  for (BYTE byte : data) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

// A string value's text: up to its first NUL, or all of it when it is not terminated.
std::string Text(const std::vector<BYTE>& data) {
  std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
}

// The strings of a REG_MULTI_SZ joined by "\0", as `reg query` shows them.
std::string MultiText(const std::vector<BYTE>& data) {
  std::string all(data.begin(), data.end());
  while (!all.empty() && all.back() == '\0') all.pop_back();
  std::string text;
  for (char c : all) text += c == '\0' ? std::string("\\0") : std::string(1, c);
  return text;
}

}  // namespace

std::optional<std::string> ExpandKeyPath(std::string_view path, std::string& why) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kShort = {{
      {"HKLM", "HKEY_LOCAL_MACHINE"},
      {"HKCU", "HKEY_CURRENT_USER"},
      {"HKCR", "HKEY_CLASSES_ROOT"},
      {"HKU", "HKEY_USERS"},
  }};
  while (path.starts_with('\\')) path.remove_prefix(1);
  std::size_t end = path.find('\\');
  std::string root(path.substr(0, end));
  std::string rest(end == std::string_view::npos ? "" : path.substr(end));
  for (const auto& [shortName, fullName] : kShort) {
    if (reg::EqualNoCase(root, shortName)) root = fullName;
  }
  reg::KeyPath parsed;
  reg::Status status = reg::ParsePath(root + rest, parsed);
  if (status.ok()) return root + rest;
  const bool knownRoot =
      std::any_of(reg::kRootNames.begin(), reg::kRootNames.end(),
                  [&](std::string_view name) { return reg::EqualNoCase(name, root); });
  // A line break anywhere is named as such, even in what should have been the root key.
  why = knownRoot || !reg::ValidValueName(path)
            ? status.message
            : "not a key path (it must start with a root key such as HKLM): " + std::string(path);
  return std::nullopt;
}

std::optional<DWORD> ParseTypeName(std::string_view name) {
  if (reg::EqualNoCase(name, "REG_SZ")) return reg::kTypeSz;
  if (reg::EqualNoCase(name, "REG_DWORD")) return reg::kTypeDword;
  if (reg::EqualNoCase(name, "REG_BINARY")) return reg::kTypeBinary;
  return std::nullopt;
}

std::optional<std::vector<BYTE>> ParseValueText(DWORD type, std::string_view text) {
  if (type == reg::kTypeSz) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
  }
  if (type == reg::kTypeDword) {
    std::uint64_t number = 0;
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    if (!ParseUnsigned(text.substr(hex ? 2 : 0), hex ? 16 : 10, 0xffffffffu, number)) {
      return std::nullopt;
    }
    return std::vector<BYTE>{static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                             static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
  }
  if (type == reg::kTypeBinary) return ParseHexBytes(text);
  return std::nullopt;
}

std::string TypeName(DWORD type) {
  static constexpr std::array<const char*, 12> kNames = {
      "REG_NONE",
      "REG_SZ",
      "REG_EXPAND_SZ",
      "REG_BINARY",
      "REG_DWORD",
      "REG_DWORD_BIG_ENDIAN",
      "REG_LINK",
      "REG_MULTI_SZ",
      "REG_RESOURCE_LIST",
      "REG_FULL_RESOURCE_DESCRIPTOR",
      "REG_RESOURCE_REQUIREMENTS_LIST",
      "REG_QWORD",
  };
  if (type < kNames.size()) return kNames[type];
  char name[24];
  std::snprintf(name, sizeof name, "hex(%x)", type);
  return name;
}

std::string ShowData(const reg::Value& value) {
  const auto& data = value.data;
  if (value.type == reg::kTypeSz || value.type == kTypeExpandSz) return Text(data);
  if (value.type == kTypeMultiSz) return MultiText(data);
  if (value.type == reg::kTypeDword && data.size() == 4) {
    DWORD number = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", number);
    return text;
  }
  return HexBytes(data);
}

}  // namespace mdmreg
