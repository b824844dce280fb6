// The registry API over the stand-in's store where it meets the store's file.
#include <gtest/gtest.h>

#include "platform/win32/windows.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::TempRoot;

TEST(RegistryApiOverTheStore, ADamagedRegistryIsReportedAsCorrupt) {
  TempRoot root;
  root.Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"open\n");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_REGISTRY_CORRUPT);
}

}  // namespace
