// Which names CreateFileA takes for COM ports rather than files: the stand-in's own rule.
#include <gtest/gtest.h>

#include "platform/win32/files.h"

namespace files_test {
namespace {

TEST(CommPortNameTest, OnlyComOneToTwoHundredFiftyFiveInEitherSpelling) {
  using platform::win32::IsCommPortName;
  for (const char* name : {"COM1", "com9", "CoM10", "COM255", "\\\\.\\COM3", "\\\\.\\com42"}) {
    EXPECT_TRUE(IsCommPortName(name)) << name;
  }
  for (const char* name : {"COM", "COM0", "COM01", "COM256", "COM1.txt", "xCOM1", "\\\\.\\COM"}) {
    EXPECT_FALSE(IsCommPortName(name)) << name;
  }
}

}  // namespace
}  // namespace files_test
