// MDM_ASSERT: in the checked build a broken invariant stops the program with file, line and
// condition; in the normal build the condition is not evaluated at all.
#include "platform/base/check.h"

#include <gtest/gtest.h>

namespace {

TEST(Check, AnInvariantThatHoldsLetsTheProgramGoOn) {
  int evaluated = 0;
  MDM_ASSERT(++evaluated == 1);
#if MDM_CHECKED
  EXPECT_EQ(evaluated, 1);
#else
  EXPECT_EQ(evaluated, 0);
#endif
}

#if MDM_CHECKED
TEST(CheckDeathTest, ABrokenInvariantStopsTheCheckedProgramAndSaysWhere) {
  int length = 70;
  EXPECT_DEATH(MDM_ASSERT(length <= 62), "check_test.cpp:[0-9]+: assertion failed: length <= 62");
}
#endif

}  // namespace
