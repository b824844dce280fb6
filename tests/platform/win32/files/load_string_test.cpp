// LoadStringA over the registered string table. Win32 only: the Windows build runs it under
// Wine too, with the same strings as its executable's string resources (tests/wine/strings.rc).
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "platform/win32/string_table.h"

namespace files_test {
namespace {

using platform::win32::StringResource;

constexpr std::array<StringResource, 2> kStrings{{{101, "Hello"}, {102, "Update"}}};

TEST(LoadStringTest, CopiesWholeOrTruncatedWithTerminator) {
  platform::win32::RegisterStringTable(kStrings);
  char buffer[16];
  EXPECT_EQ(LoadStringA(nullptr, 101, buffer, 6), 5);  // exactly room for the NUL
  EXPECT_STREQ(buffer, "Hello");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(nullptr, 102, buffer, 4), 3);
  EXPECT_STREQ(buffer, "Upd");
  EXPECT_EQ(buffer[4], 'x');  // nothing beyond bufferMax
  platform::win32::ClearStringTable();
}

TEST(LoadStringTest, MissingIdGivesEmptyStringAndZero) {
  platform::win32::RegisterStringTable(kStrings);
  char buffer[8] = "junk";
  EXPECT_EQ(LoadStringA(nullptr, 999, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  platform::win32::ClearStringTable();
}

}  // namespace
}  // namespace files_test
