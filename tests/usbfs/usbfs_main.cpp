// The main of every usbfs test program: it runs under umockdev's preload library, re-executing
// itself with it first when started without.
#include <gtest/gtest.h>

#include "tests/usbfs/usbfs_testbed.h"

int main(int argc, char** argv) {
  tests::usbfs::RunUnderUsbfsPreload(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
