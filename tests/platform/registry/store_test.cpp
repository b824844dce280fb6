// The registry store: names, order, persistence between stores (processes), damaged files and
// locking.
#include "platform/registry/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/temp_root.h"

namespace platform::registry {
namespace {

using testing_support::TempRoot;

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\Software\\Vendor";

std::vector<BYTE> Sz(std::string_view text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

TEST(RegistryStore, ChangesReachAnotherStoreOnTheSameFile) {
  TempRoot root;
  Store writer(root.file());
  Store reader(root.file());
  ASSERT_TRUE(writer.CreateKey(kKey).ok());
  ASSERT_TRUE(writer.SetValue(kKey, "Port", kTypeSz, Sz("COM3")).ok());
  Value value;
  ASSERT_TRUE(reader.GetValue(kKey, "Port", value).ok());
  EXPECT_EQ(value.data, Sz("COM3"));

  // The reader has the file cached now; a later change must still reach it.
  ASSERT_TRUE(writer.SetValue(kKey, "Port", kTypeSz, Sz("COM4")).ok());
  ASSERT_TRUE(writer.CreateKey(std::string(kKey) + "\\Empty").ok());
  ASSERT_TRUE(reader.GetValue(kKey, "Port", value).ok());
  EXPECT_EQ(value.data, Sz("COM4"));

  // Writes from both sides, each on a file the other has changed since: neither is lost.
  ASSERT_TRUE(reader.SetValue(kKey, "FromReader", kTypeBinary, {}).ok());
  ASSERT_TRUE(writer.SetValue(kKey, "FromWriter", kTypeBinary, {}).ok());
  KeyListing listing;
  ASSERT_TRUE(Store(root.file()).ReadKey(kKey, listing).ok());
  ASSERT_EQ(listing.values.size(), 3u);
  EXPECT_EQ(listing.values[1].name, "FromReader");
  EXPECT_EQ(listing.subkeys, std::vector<std::string>{"Empty"});
}

TEST(RegistryStore, NamesMatchInAnyCaseAndKeepTheirFirstCase) {
  TempRoot root;
  Store store(root.file());
  ASSERT_TRUE(store.CreateKey("HKEY_LOCAL_MACHINE\\Software\\MyVendor").ok());
  bool created = true;
  ASSERT_TRUE(store.CreateKey("hkey_local_machine\\SOFTWARE\\myvendor", &created).ok());
  EXPECT_FALSE(created);
  std::string canonical;
  ASSERT_TRUE(store.OpenKey("HKEY_LOCAL_MACHINE\\software\\MYVENDOR", &canonical).ok());
  EXPECT_EQ(canonical, "HKEY_LOCAL_MACHINE\\Software\\MyVendor");

  ASSERT_TRUE(store.SetValue(canonical, "Port", kTypeSz, Sz("a")).ok());
  ASSERT_TRUE(store.SetValue(canonical, "Other", kTypeSz, Sz("b")).ok());
  ASSERT_TRUE(store.SetValue(canonical, "PORT", kTypeDword, std::vector<BYTE>{7, 0, 0, 0}).ok());
  Value value;
  ASSERT_TRUE(store.EnumValue(canonical, 0, value).ok());
  EXPECT_EQ(value.name, "Port");  // overwritten in place, under its first name
  EXPECT_EQ(value.type, kTypeDword);
  EXPECT_EQ(store.EnumValue(canonical, 2, value).error, Error::kNoMoreItems);
}

TEST(RegistryStore, ValuesEnumerateInCreationOrderAndSubkeysSorted) {
  TempRoot root;
  Store store(root.file());
  for (const char* sub : {"beta", "_under", "Alpha", "gamma"}) {
    ASSERT_TRUE(store.CreateKey(std::string(kKey) + "\\" + sub).ok());
  }
  for (const char* name : {"Zeta", "alpha", "Mid"}) {
    ASSERT_TRUE(store.SetValue(kKey, name, kTypeBinary, {}).ok());
  }
  // A second store reads the order back from the file.
  Store other(root.file());
  KeyListing listing;
  ASSERT_TRUE(other.ReadKey(kKey, listing).ok());
  ASSERT_EQ(listing.values.size(), 3u);
  EXPECT_EQ(listing.values[0].name, "Zeta");
  EXPECT_EQ(listing.values[2].name, "Mid");
  // Upper-case folding puts '_' after the letters, as the platform sorts.
  EXPECT_EQ(listing.subkeys, (std::vector<std::string>{"Alpha", "beta", "gamma", "_under"}));
  std::string name;
  ASSERT_TRUE(other.EnumSubkey(kKey, 3, name).ok());
  EXPECT_EQ(name, "_under");
  EXPECT_EQ(other.EnumSubkey(kKey, 4, name).error, Error::kNoMoreItems);
}

TEST(RegistryStore, DeletesKeysWithTheirSubtreeButNeverARoot) {
  TempRoot root;
  Store store(root.file());
  ASSERT_TRUE(store.CreateKey(std::string(kKey) + "\\A\\B").ok());
  ASSERT_TRUE(store.SetValue(kKey, "v", kTypeSz, Sz("x")).ok());
  ASSERT_TRUE(store.DeleteValue(kKey, "V").ok());
  EXPECT_EQ(store.DeleteValue(kKey, "v").error, Error::kNotFound);
  ASSERT_TRUE(store.DeleteKey(std::string(kKey) + "\\a").ok());
  EXPECT_EQ(store.OpenKey(std::string(kKey) + "\\A\\B").error, Error::kNotFound);
  EXPECT_TRUE(store.OpenKey(kKey).ok());
  EXPECT_EQ(store.DeleteKey(std::string(kKey) + "\\A").error, Error::kNotFound);
  EXPECT_EQ(store.DeleteKey("HKEY_LOCAL_MACHINE\\").error, Error::kAccessDenied);
}

TEST(RegistryStore, PathsTolerateStrayBackslashesButNeedARoot) {
  TempRoot root;
  Store store(root.file());
  ASSERT_TRUE(store.CreateKey("\\HKEY_USERS\\\\A\\").ok());
  EXPECT_TRUE(store.OpenKey("HKEY_USERS\\A").ok());
  EXPECT_EQ(store.CreateKey("HKLM\\A").error, Error::kInvalidParameter);
  EXPECT_EQ(store.CreateKey("").error, Error::kInvalidParameter);
  EXPECT_EQ(store.SetValue("HKEY_USERS\\A", "two\nlines", kTypeSz, {}).error,
            Error::kInvalidParameter);
}

TEST(RegistryStore, AMissingRootReadsEmptyAndTheFirstChangeCreatesIt) {
  TempRoot root;
  const auto folder = root.path() / "not" / "yet";
  Store store(folder / "registry.reg");
  Value value;
  EXPECT_EQ(store.GetValue("HKEY_LOCAL_MACHINE", "x", value).error, Error::kNotFound);
  EXPECT_FALSE(std::filesystem::exists(folder));
  ASSERT_TRUE(store.CreateKey("HKEY_LOCAL_MACHINE\\X").ok());
  EXPECT_TRUE(std::filesystem::exists(folder / "registry.reg"));
  EXPECT_TRUE(std::filesystem::exists(folder / "registry.lock"));
}

TEST(RegistryStore, ADamagedFileIsReportedAndNeverOverwritten) {
  TempRoot root;
  const std::string damaged = "REGEDIT4\n\n[HKEY_USERS\\A]\n\"a\"=hex:zz\n";
  root.Write(damaged);
  Store store(root.file());
  const std::string where = root.file().string() + ":4: ";
  Value value;
  Status status = store.GetValue("HKEY_USERS\\A", "a", value);
  EXPECT_EQ(status.error, Error::kCorrupt);
  EXPECT_EQ(status.message.rfind(where, 0), 0u) << status.message;
  status = store.CreateKey("HKEY_USERS\\B");
  EXPECT_EQ(status.error, Error::kCorrupt);
  EXPECT_EQ(status.message.rfind(where, 0), 0u) << status.message;
  EXPECT_EQ(root.Read(), damaged);

  // Once repaired, the file is read again.
  root.Write("REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=hex:01\n");
  ASSERT_TRUE(store.GetValue("HKEY_USERS\\A", "a", value).ok());
  EXPECT_EQ(value.data, std::vector<BYTE>{1});
}

TEST(RegistryStore, ALockHeldElsewhereFailsInBoundedTime) {
  TempRoot root;
  Store store(root.file(), std::chrono::milliseconds(100));
  ASSERT_TRUE(store.CreateKey(kKey).ok());
  int holder = ::open(store.lockFile().c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  Status status = store.SetValue(kKey, "v", kTypeBinary, {});
  EXPECT_EQ(status.error, Error::kLockViolation);
  EXPECT_NE(status.message.find(store.lockFile().string()), std::string::npos);
  EXPECT_EQ(store.OpenKey(kKey).error, Error::kLockViolation);
  ::close(holder);
  EXPECT_TRUE(store.SetValue(kKey, "v", kTypeBinary, {}).ok());
}

TEST(RegistryStore, AnUnwritableRootFailsWithItsName) {
  TempRoot root;
  root.Write("not a folder");
  Store store(root.file() / "registry.reg");
  Status status = store.CreateKey(kKey);
  EXPECT_EQ(status.error, Error::kCantWrite);
  EXPECT_NE(status.message.find(root.file().string()), std::string::npos) << status.message;
}

TEST(RegistryStore, WritersInTwoProcessesLoseNothing) {
  TempRoot root;
  // Both children wait at this gate, so that their transactions interleave.
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = ::fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
      }
      Store store(root.file());
      int failures = store.CreateKey(kKey).ok() ? 0 : 1;
      for (int i = 0; i < 50; ++i) {
        std::string name = "child" + std::to_string(child) + "_" + std::to_string(i);
        if (!store.SetValue(kKey, name, kTypeSz, Sz(name)).ok()) ++failures;
      }
      ::_exit(failures);
    }
  }
  ::close(gate[0]);
  ::close(gate[1]);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  KeyListing listing;
  ASSERT_TRUE(Store(root.file()).ReadKey(kKey, listing).ok());
  ASSERT_EQ(listing.values.size(), 100u);
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < 50; ++i) {
      std::string name = "child" + std::to_string(child) + "_" + std::to_string(i);
      EXPECT_TRUE(std::any_of(listing.values.begin(), listing.values.end(), [&](const Value& v) {
        return v.name == name && v.data == Sz(name);
      })) << name;
    }
  }
}

TEST(RegistryStore, DefaultFollowsMdmRoot) {
  TempRoot first;
  ASSERT_TRUE(Default().CreateKey(kKey).ok());
  EXPECT_EQ(Default().file(), first.file());
  {
    TempRoot second;
    EXPECT_EQ(Default().file(), second.file());
    EXPECT_EQ(Default().OpenKey(kKey).error, Error::kNotFound);
  }
  EXPECT_TRUE(Default().OpenKey(kKey).ok());
}

}  // namespace
}  // namespace platform::registry
