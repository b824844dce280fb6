// Reading what the window backend's snapshot writes: the report (one line per window, units and
// control, `key=value` fields, quoted texts with C escapes) and the picture as binary PPM.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace ui_test {

using Fields = std::map<std::string, std::string>;

struct SnapshotReport {
  Fields window;
  Fields units;
  std::map<int, Fields> controls;  // by id
};

inline std::string Unescaped(std::istream& in) {
  std::string text;
  for (char c; in.get(c) && c != '"';) {
    if (c != '\\' || !in.get(c)) {
      text += c;
    } else if (c == 'n') {
      text += '\n';
    } else if (c == 'r') {
      text += '\r';
    } else if (c == 'x') {
      char hex[3] = {};
      in.read(hex, 2);
      text += static_cast<char>(std::stoi(hex, nullptr, 16));
    } else {
      text += c;
    }
  }
  return text;
}

inline Fields ParseFields(std::istream& in) {
  Fields fields;
  std::string name;
  for (char c; in.get(c);) {
    if (c == ' ') continue;
    if (c != '=') {
      name += c;
      continue;
    }
    std::string value;
    if (in.peek() == '"') {
      in.get();
      value = Unescaped(in);
    } else {
      in >> value;
    }
    fields[name] = value;
    name.clear();
  }
  return fields;
}

inline std::optional<SnapshotReport> ReadSnapshotReport(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  SnapshotReport report;
  for (std::string line; std::getline(file, line);) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    Fields fields = ParseFields(in);
    if (kind == "window") report.window = fields;
    if (kind == "units") report.units = fields;
    if (kind == "control") report.controls[std::stoi(fields["id"])] = fields;
  }
  return report;
}

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  struct Pixel {
    int r, g, b;
  };
  Pixel At(int x, int y) const {
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    return {rgb[at], rgb[at + 1], rgb[at + 2]};
  }
};

inline std::optional<Picture> ReadPpm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int depth = 0;
  Picture picture;
  if (!(in >> magic >> picture.width >> picture.height >> depth) || magic != "P6" || depth != 255) {
    return std::nullopt;
  }
  in.get();  // the one whitespace before the pixels
  picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
  in.read(reinterpret_cast<char*>(picture.rgb.data()),
          static_cast<std::streamsize>(picture.rgb.size()));
  if (!in) return std::nullopt;
  return picture;
}

}  // namespace ui_test
