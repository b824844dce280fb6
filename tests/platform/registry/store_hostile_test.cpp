// The registry store on files a hostile or careless user left in the platform root: files that
// are no regular file or too large, a root it cannot write, temporaries of killed writers and a
// registry.reg that is a symbolic link.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/store.h"
#include "tests/support/temp_root.h"

namespace platform::registry {
namespace {

using testing_support::TempRoot;

using Bytes = std::vector<BYTE>;

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\Software\\Vendor";

// Reading and writing both fail at once with `expected` in the message; the file is left alone.
void ExpectRefused(const TempRoot& root, const std::string& expected) {
  Store store(root.file());
  Value value;
  Status status = store.GetValue(kKey, "v", value);
  EXPECT_EQ(status.error, Error::kCantRead);
  EXPECT_NE(status.message.find(expected), std::string::npos) << status.message;
  status = store.SetValue("HKEY_LOCAL_MACHINE", "v", kTypeBinary, {});
  EXPECT_EQ(status.error, Error::kCantRead);
  EXPECT_NE(status.message.find(expected), std::string::npos) << status.message;
}

TEST(RegistryStoreHostile, NoRegularFileIsReadAndAFifoNeverBlocks) {
  TempRoot root;
  const std::string notRegular = root.file().string() + ": not a regular file";
  ASSERT_EQ(::mkfifo(root.file().c_str(), 0644), 0);
  ExpectRefused(root, notRegular);
  EXPECT_TRUE(std::filesystem::is_fifo(root.file()));

  std::filesystem::remove(root.file());
  std::filesystem::create_symlink("/dev/zero", root.file());
  ExpectRefused(root, notRegular);
  EXPECT_TRUE(std::filesystem::is_symlink(root.file()));
}

TEST(RegistryStoreHostile, AFileOverTheSizeLimitIsRefused) {
  TempRoot root;
  root.Write("REGEDIT4\n");
  std::filesystem::resize_file(root.file(), Store::kMaxFileSize + 1);
  ExpectRefused(root, root.file().string() + ": larger than the registry's limit of 64 MiB");
}

TEST(RegistryStoreHostile, AChangeThatWouldPassTheSizeLimitIsRefused) {
  TempRoot root;
  Store store(root.file());
  ASSERT_TRUE(store.SetValue("HKEY_LOCAL_MACHINE", "small", kTypeBinary, Bytes{1}).ok());
  const std::string before = root.Read();
  // Three characters of text per byte: a third of the limit and a little more is too much.
  std::vector<BYTE> large(Store::kMaxFileSize / 3 + 1);
  Status status = store.SetValue("HKEY_LOCAL_MACHINE", "large", kTypeBinary, large);
  EXPECT_EQ(status.error, Error::kCantWrite);
  EXPECT_NE(status.message.find("larger than the registry's limit"), std::string::npos);
  EXPECT_EQ(root.Read(), before);
  Value value;
  EXPECT_EQ(store.GetValue("HKEY_LOCAL_MACHINE", "large", value).error, Error::kNotFound);
}

// A root without registry.lock whose lock file cannot be made: read-only for a user, or (for a
// test running as root, whom permissions do not stop) a lock path that leads nowhere.
TEST(RegistryStoreHostile, AReadOnlyRootWithoutALockFileCanBeRead) {
  TempRoot root;
  const auto folder = root.path() / "ro";
  std::filesystem::create_directories(folder);
  {
    Store writer(folder / "registry.reg");
    ASSERT_TRUE(writer.SetValue("HKEY_LOCAL_MACHINE", "v", kTypeBinary, Bytes{7}).ok());
  }
  std::filesystem::remove(folder / "registry.lock");
  if (::geteuid() == 0) {
    std::filesystem::create_symlink(root.path() / "missing" / "registry.lock",
                                    folder / "registry.lock");
  } else {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
  }
  Store reader(folder / "registry.reg");
  Value value;
  Status status = reader.GetValue("HKEY_LOCAL_MACHINE", "v", value);
  EXPECT_TRUE(status.ok()) << status.message;
  EXPECT_EQ(value.data, std::vector<BYTE>{7});
  // A change still needs the lock.
  EXPECT_EQ(reader.SetValue("HKEY_LOCAL_MACHINE", "w", kTypeBinary, {}).error,
            Error::kLockViolation);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

TEST(RegistryStoreHostile, AWriterRemovesTemporariesOfKilledWriters) {
  TempRoot root;
  const auto stale = root.path() / ".registry.reg.Ab3xYz";
  const std::vector<std::filesystem::path> others = {
      root.path() / ".registry.reg.short", root.path() / ".registry.reg.toolong",
      root.path() / ".other.reg.Ab3xYz", root.path() / "registry.reg.Ab3xYz"};
  std::ofstream(stale) << "half a registry";
  for (const auto& other : others) std::ofstream(other) << "x";
  Store store(root.file());
  ASSERT_TRUE(store.CreateKey(kKey).ok());
  EXPECT_FALSE(std::filesystem::exists(stale));
  for (const auto& other : others) EXPECT_TRUE(std::filesystem::exists(other)) << other;
  std::size_t temporaries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
    temporaries += entry.path().filename().string().starts_with(".registry.reg.") ? 1 : 0;
  }
  EXPECT_EQ(temporaries, 2u);  // the short and the long name, which no writer makes
}

TEST(RegistryStoreHostile, ARegistryFileThatIsALinkIsWrittenThrough) {
  TempRoot root;
  std::filesystem::create_directories(root.path() / "real");
  std::filesystem::create_symlink("real/target.reg", root.file());
  std::ofstream(root.path() / "real" / ".target.reg.Zz9Zz9") << "stale";
  Store store(root.file());
  ASSERT_TRUE(store.SetValue("HKEY_LOCAL_MACHINE", "first", kTypeBinary, Bytes{1}).ok());
  ASSERT_TRUE(store.SetValue("HKEY_LOCAL_MACHINE", "second", kTypeBinary, Bytes{2}).ok());
  EXPECT_TRUE(std::filesystem::is_symlink(root.file()));
  EXPECT_EQ(std::filesystem::read_symlink(root.file()), "real/target.reg");
  EXPECT_FALSE(std::filesystem::exists(root.path() / "real" / ".target.reg.Zz9Zz9"));
  Store other(root.path() / "real" / "target.reg");
  Value value;
  ASSERT_TRUE(other.GetValue("HKEY_LOCAL_MACHINE", "second", value).ok());
  EXPECT_EQ(value.data, std::vector<BYTE>{2});
  ASSERT_TRUE(other.GetValue("HKEY_LOCAL_MACHINE", "first", value).ok());
}

}  // namespace
}  // namespace platform::registry
