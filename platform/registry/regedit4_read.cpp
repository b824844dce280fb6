#include <charconv>
#include <unordered_map>

#include "platform/registry/regedit4.h"

namespace platform::registry {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view TrimLeft(std::string_view text) {
  std::size_t start = text.find_first_not_of(kBlanks);
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

std::string_view TrimRight(std::string_view text) {
  std::size_t end = text.find_last_not_of(kBlanks);
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

bool ParseHexNumber(std::string_view text, std::size_t maxDigits, DWORD& number) {
  if (text.empty() || text.size() > maxDigits) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, 16);
  return error == std::errc() && end == text.data() + text.size();
}

// Reads a quoted string at the start of `rest` and moves `rest` past it. Only \\ and \" are
// escapes, as the writer makes them. Returns an error text, or null.
const char* TakeQuoted(std::string_view& rest, std::string& out) {
  out.clear();
  for (std::size_t i = 1; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '"') {
      rest.remove_prefix(i + 1);
      return nullptr;
    }
    if (c == '\\') {
      if (++i == rest.size()) break;
      if (rest[i] != '\\' && rest[i] != '"') return "bad escape in string";
      c = rest[i];
    }
    out += c;
  }
  return "unterminated string";
}

// "01,02,ff" (blanks allowed around each byte); "" is no bytes.
bool ParseHexBytes(std::string_view text, std::vector<BYTE>& out) {
  out.clear();
  if (TrimLeft(text).empty()) return true;
  while (true) {
    std::size_t comma = text.find(',');
    DWORD byte = 0;
    if (!ParseHexNumber(TrimRight(TrimLeft(text.substr(0, comma))), 2, byte)) return false;
    out.push_back(static_cast<BYTE>(byte));
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// The part after '=': "text", dword:xxxxxxxx, hex:bytes or hex(type):bytes.
const char* ParseData(std::string_view data, Value& value) {
  if (data.starts_with('"')) {
    std::string text;
    if (const char* error = TakeQuoted(data, text)) return error;
    if (!TrimLeft(data).empty()) return "unexpected text after string";
    value.type = kTypeSz;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return nullptr;
  }
  data = TrimRight(data);
  if (data.starts_with("dword:")) {
    DWORD number = 0;
    // Exactly eight digits, as written: fewer is a value cut off.
    if (data.size() != 14 || !ParseHexNumber(data.substr(6), 8, number)) return "bad dword";
    value.type = kTypeDword;
    value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                  static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
    return nullptr;
  }
  value.type = kTypeBinary;
  if (data.starts_with("hex(")) {
    std::size_t close = data.find("):");
    if (close == std::string_view::npos ||
        !ParseHexNumber(data.substr(4, close - 4), 8, value.type)) {
      return "bad value type";
    }
    data.remove_prefix(close + 2);
  } else if (data.starts_with("hex:")) {
    data.remove_prefix(4);
  } else {
    return "bad value data";
  }
  return ParseHexBytes(data, value.data) ? nullptr : "bad hex";
}

class Reader {
 public:
  Reader(std::string_view text, const std::string& source, Tree& tree)
      : rest_(text), source_(source), tree_(tree) {}

  Status Run() {
    if (rest_.starts_with("\xEF\xBB\xBF")) rest_.remove_prefix(3);
    std::string_view line;
    bool header = false;
    while (NextLine(line)) {
      line = TrimLeft(line);
      if (line.empty()) continue;
      if (!header) {
        if (TrimRight(line) != "REGEDIT4") return Fail(lineNo_, "missing REGEDIT4 header");
        header = true;
        continue;
      }
      if (line.starts_with(';')) continue;
      Status status = line.starts_with('[') ? Section(line) : ValueLine(line);
      if (!status.ok()) return status;
    }
    if (!header) return Fail(lineNo_ == 0 ? 1 : lineNo_, "missing REGEDIT4 header");
    return Status::Ok();
  }

 private:
  bool NextLine(std::string_view& line) {
    if (rest_.empty()) return false;
    std::size_t end = rest_.find('\n');
    line = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    ++lineNo_;
    return true;
  }

  Status Fail(std::size_t line, const std::string& what) const {
    return Status::Fail(Error::kCorrupt, source_ + ":" + std::to_string(line) + ": " + what);
  }

  Status Section(std::string_view line) {
    line = TrimRight(line);
    if (!line.ends_with(']')) return Fail(lineNo_, "key line without closing ']'");
    KeyPath path;
    Status status = ParsePath(line.substr(1, line.size() - 2), path);
    if (!status.ok()) return Fail(lineNo_, status.message);
    key_ = &tree_.Create(path, nullptr);
    return Status::Ok();
  }

  Status ValueLine(std::string_view line) {
    const std::size_t first = lineNo_;
    std::string name;
    if (line.starts_with('"')) {
      if (const char* error = TakeQuoted(line, name)) return Fail(first, error);
      if (!ValidValueName(name)) return Fail(first, "value name holds a line break or NUL");
    } else if (line.starts_with('@')) {
      line.remove_prefix(1);
    } else {
      return Fail(first, "expected a [key] or a value line");
    }
    if (key_ == nullptr) return Fail(first, "value outside any key");
    line = TrimLeft(line);
    if (!line.starts_with('=')) return Fail(first, "expected '=' after value name");
    std::string data(TrimRight(TrimLeft(line.substr(1))));
    // Hex data may go on over lines that end in a backslash. Each line is trimmed on its own
    // and appended, so that a large value is gathered in time linear in its size.
    if (data.starts_with("hex")) {
      while (data.ends_with('\\')) {
        data.pop_back();
        std::string_view next;
        if (!NextLine(next)) return Fail(first, "hex data continues past the end of the file");
        data += TrimRight(TrimLeft(next));
      }
    }
    Value value;
    if (const char* error = ParseData(data, value)) return Fail(first, error);
    SetValue(name, std::move(value));
    return Status::Ok();
  }

  // As Key::SetValue (a later line for the same name replaces the data), but through an index of
  // the names read so far, so that a key with very many values is read in linear time.
  void SetValue(std::string_view name, Value value) {
    auto& index = valueIndex_[key_];
    auto [it, added] = index.try_emplace(Fold(name), key_->values.size());
    if (added) {
      key_->values.push_back(Value{std::string(name), value.type, std::move(value.data)});
      return;
    }
    key_->values[it->second].type = value.type;
    key_->values[it->second].data = std::move(value.data);
  }

  std::string_view rest_;
  const std::string& source_;
  Tree& tree_;
  std::size_t lineNo_ = 0;
  Key* key_ = nullptr;
  // For each key read into, its values' folded names and places in Key::values.
  std::unordered_map<const Key*, std::unordered_map<std::string, std::size_t>> valueIndex_;
};

}  // namespace

Status ParseRegedit4(std::string_view text, const std::string& source, Tree& tree) {
  return Reader(text, source, tree).Run();
}

}  // namespace platform::registry
