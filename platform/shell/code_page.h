// The 8-bit code page of the stand-in (UTF-8, with stray bytes kept as lone surrogates) in both
// directions.
#pragma once

#include <string>
#include <string_view>

namespace platform::shell {

std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);

}  // namespace platform::shell
