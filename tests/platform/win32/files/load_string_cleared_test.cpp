// The stand-in's string table once a program clears it.
#include <gtest/gtest.h>

#include <array>

#include "platform/win32/string_table.h"

namespace files_test {
namespace {

TEST(LoadStringTest, ClearedTableFindsNothing) {
  constexpr std::array<platform::win32::StringResource, 1> kStrings{{{101, "Hello"}}};
  platform::win32::RegisterStringTable(kStrings);
  platform::win32::ClearStringTable();
  char buffer[8] = "junk";
  EXPECT_EQ(LoadStringA(nullptr, 101, buffer, sizeof buffer), 0);
}

}  // namespace
}  // namespace files_test
