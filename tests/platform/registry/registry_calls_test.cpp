// RegOpenKeyExA and friends: handles, buffer rules and error codes. Win32 only: the Windows build
// runs it under Wine too, with the predefined keys moved to a scratch key of the test's own.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/windows.h"
#include "tests/platform/win32/win32_test.h"
#ifndef _WIN32
#include "tests/support/temp_root.h"
#endif

namespace {

// A registry of the test's own: a fresh platform root, or on Windows HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER overridden for this process by subkeys of a scratch key, removed afterwards.
class RegistryApi : public ::testing::Test {
#ifdef _WIN32
 protected:
  void SetUp() override {
    scratch_ = "Software\\mdm-test-" + std::to_string(GetCurrentProcessId());
    Move(HKEY_LOCAL_MACHINE, "\\HKLM");
    Move(HKEY_CURRENT_USER, "\\HKCU");
  }
  void Move(HKEY predefined, const char* name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (scratch_ + name).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    overridden_.push_back(predefined);
    ASSERT_EQ(RegOverridePredefKey(predefined, key), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void TearDown() override {
    for (HKEY predefined : overridden_) RegOverridePredefKey(predefined, nullptr);
    RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
  }

 private:
  std::string scratch_;
  std::vector<HKEY> overridden_;
#else
  testing_support::TempRoot root_;
#endif
};

constexpr BYTE kGuard = 0xA5;

HKEY Create(HKEY parent, const char* subKey, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, disposition),
            ERROR_SUCCESS);
  return key;
}

LSTATUS SetSz(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
}

TEST_F(RegistryApi, CreateOpenAndCloseKeys) {
  const std::size_t handles = testing_support::OpenHandles();
  DWORD disposition = 0;
  HKEY vendor = Create(HKEY_LOCAL_MACHINE, "Software\\Vendor", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\vendor", &disposition));
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(Create(vendor, "Sub", nullptr));

  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExA(vendor, "SUB", 0, KEY_READ, &sub), ERROR_SUCCESS);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExA(vendor, "Missing", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  HKEY same = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(vendor), ERROR_SUCCESS);
  EXPECT_EQ(SetSz(vendor, "x", "y"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(vendor), ERROR_INVALID_HANDLE);
  EXPECT_EQ(testing_support::OpenHandles(), handles);
}

TEST_F(RegistryApi, EnumValueKeepsWithinTheCallersBuffers) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Vendor");
  std::array<BYTE, 40> value{};
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<BYTE>(i + 1);
  ASSERT_EQ(RegSetValueExA(key, "LongValueName", 0, REG_BINARY, value.data(), 40), ERROR_SUCCESS);

  std::array<char, 16> name;
  name.fill(static_cast<char>(kGuard));
  DWORD nameChars = 8;
  EXPECT_EQ(RegEnumValueA(key, 0, name.data(), &nameChars, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  for (std::size_t i = 8; i < name.size(); ++i) EXPECT_EQ(static_cast<BYTE>(name[i]), kGuard);

  std::array<BYTE, 48> data;
  data.fill(kGuard);
  nameChars = static_cast<DWORD>(name.size());
  DWORD type = 0;
  DWORD dataBytes = 32;
  EXPECT_EQ(RegEnumValueA(key, 0, name.data(), &nameChars, nullptr, &type, data.data(), &dataBytes),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataBytes, 40u);
  for (std::size_t i = 32; i < data.size(); ++i) EXPECT_EQ(data[i], kGuard);

  // No data buffer: only the size. The name room is in and out, so it is given again.
  nameChars = static_cast<DWORD>(name.size());
  dataBytes = 0;
  EXPECT_EQ(RegEnumValueA(key, 0, name.data(), &nameChars, nullptr, &type, nullptr, &dataBytes),
            ERROR_SUCCESS);
  EXPECT_EQ(dataBytes, 40u);
  EXPECT_EQ(nameChars, 13u);
  EXPECT_STREQ(name.data(), "LongValueName");
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  nameChars = static_cast<DWORD>(name.size());
  dataBytes = static_cast<DWORD>(data.size());
  EXPECT_EQ(
      RegEnumValueA(key, 0, name.data(), &nameChars, nullptr, nullptr, data.data(), &dataBytes),
      ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(data.data(), value.data(), 40), 0);
  EXPECT_EQ(data[40], kGuard);
  nameChars = static_cast<DWORD>(name.size());
  EXPECT_EQ(RegEnumValueA(key, 1, name.data(), &nameChars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(RegistryApi, QueryReturnsExactlyTheStoredBytes) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Vendor");
  // A string set without its NUL comes back without one.
  ASSERT_EQ(RegSetValueExA(key, "Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcdef"), 3),
            ERROR_SUCCESS);
  ASSERT_EQ(SetSz(key, nullptr, "default"), ERROR_SUCCESS);

  std::array<BYTE, 8> data;
  data.fill(kGuard);
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(data.size());
  ASSERT_EQ(RegQueryValueExA(key, "RAW", nullptr, &type, data.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::memcmp(data.data(), "abc", 3), 0);
  // Wine's ANSI conversion ends the string in the caller's room; the platform promises neither.
  if (!testing_support::UnderWine()) {
    EXPECT_EQ(data[3], kGuard);
  }

  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, data.data(), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(key, "raw"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "raw"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(
      RegQueryValueExA(reinterpret_cast<HKEY>(0x12345), "x", nullptr, nullptr, nullptr, &size),
      ERROR_INVALID_HANDLE);
  RegCloseKey(key);
}

TEST_F(RegistryApi, EnumKeysSortedWithBoundedNames) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Enum");
  for (const char* sub : {"USB", "Root", "Monitor"}) RegCloseKey(Create(key, sub));
  char name[16];
  DWORD chars = sizeof name;
  std::string names;
  for (DWORD i = 0;
       RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, chars = sizeof name) {
    names += std::string(name) + ",";
  }
  EXPECT_EQ(names, "Monitor,Root,USB,");
  chars = 7;  // "Monitor" needs 8 with its NUL
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST_F(RegistryApi, AHandleOutlivesItsDeletedKey) {
  // The platform's 32-bit registry deletes a key with its subkeys; Wine, as the NT line does,
  // refuses a key that has subkeys (ERROR_ACCESS_DENIED).
  if (testing_support::UnderWine()) GTEST_SKIP() << "Wine deletes only keys without subkeys";
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Modem");
  RegCloseKey(Create(key, "Sub"));
  ASSERT_EQ(SetSz(key, "Port", "COM3"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\vendor"), ERROR_SUCCESS);

  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(SetSz(key, "Port", "COM4"), ERROR_KEY_DELETED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, KEY_READ, &sub),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vendor"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
