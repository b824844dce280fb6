#include "platform/shell/code_page.h"

#include <cstring>

#include "platform/shell/winnls.h"

namespace platform::shell {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;  // a stray byte b becomes U+DC00 + b (b >= 0x80)

struct Lead {
  std::size_t length;  // 0: not a lead byte
  char32_t bits;       // the code point bits it carries
  char32_t minimum;    // the smallest code point of this length (shorter forms are overlong)
};

Lead LeadOf(unsigned char byte) {
  if (byte < 0x80) return {1, byte, 0};
  if ((byte & 0xE0) == 0xC0) return {2, byte & 0x1Fu, 0x80};
  if ((byte & 0xF0) == 0xE0) return {3, byte & 0x0Fu, 0x800};
  if ((byte & 0xF8) == 0xF0) return {4, byte & 0x07u, 0x10000};
  return {0, 0, 0};
}

// Length of the UTF-8 sequence at the start of `text` and its code point, or 0 when it is not
// well formed (overlong forms, surrogates and values above U+10FFFF are not).
std::size_t DecodeOne(std::string_view text, char32_t& code) {
  const Lead lead = LeadOf(static_cast<unsigned char>(text[0]));
  if (lead.length == 0 || text.size() < lead.length) return 0;
  code = lead.bits;
  for (std::size_t i = 1; i < lead.length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte & 0x3Fu);
  }
  if (code < lead.minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return lead.length;
}

void AppendUtf8(char32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::u16string AnsiToWide(std::string_view text) {
  std::u16string wide;
  while (!text.empty()) {
    char32_t code = 0;
    std::size_t length = DecodeOne(text, code);
    if (length == 0) {
      code = kEscapeBase + static_cast<unsigned char>(text[0]);
      length = 1;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (code >> 10));
      wide += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      wide += static_cast<char16_t>(code);
    }
    text.remove_prefix(length);
  }
  return wide;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00), out);
      ++i;
    } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
      out += static_cast<char>(unit - kEscapeBase);  // a stray byte, back as it was
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += '?';  // any other lone surrogate has no 8-bit form
    } else {
      AppendUtf8(unit, out);
    }
  }
  return out;
}

}  // namespace platform::shell

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR wide,
                        int wideCount) {
  const bool known = codePage == CP_ACP || codePage == CP_UTF8;
  if (!known || flags != 0 || text == nullptr || count == 0 || count < -1 || wideCount < 0 ||
      (wideCount > 0 && wide == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t bytes = count == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(count);
  const std::u16string converted = platform::shell::AnsiToWide(std::string_view(text, bytes));
  const auto needed = static_cast<int>(converted.size());
  if (wideCount == 0) return needed;
  if (needed > wideCount) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(wide, converted.data(), converted.size() * sizeof(WCHAR));
  return needed;
}
