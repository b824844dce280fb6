// The REGEDIT4 reader on any text. What it accepts, the writer writes out again, and that text
// reads back into a store that writes out the same text: nothing accepted is lost or changed
// on its way through the registry file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry/regedit4.h"

namespace {

using platform::registry::FormatRegedit4;
using platform::registry::ParseRegedit4;
using platform::registry::Tree;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "regedit4_fuzzer: %s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Tree first;
  if (!ParseRegedit4(text, "input", first).ok()) return 0;
  std::string written = FormatRegedit4(first);
  Tree second;
  auto status = ParseRegedit4(written, "written", second);
  if (!status.ok()) Fail("the writer's text does not read back", status.message);
  if (FormatRegedit4(second) != written) Fail("the text changed on a second pass", written);
  return 0;
}
