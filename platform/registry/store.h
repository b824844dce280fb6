// The one registry store: keys and typed values persisted as REGEDIT4 text in registry.reg.
//
// Several processes may use one file at once. Every change is one transaction under an
// exclusive lock on the lock file beside it (registry.lock): reload the file if another process
// changed it, apply the change, write the whole file to a temporary file, fsync, rename it over
// registry.reg. Readers take a shared lock and reload when the file changed. A reader thus never
// sees half a write, and two writers never lose each other's changes. A reader that cannot open
// the lock file (a read-only root without one) reads without it: every version is whole.
//
// Paths are full key paths ("HKEY_LOCAL_MACHINE\Hardware\Devicemap\Serialcomm"); key and value
// names compare case-insensitively and keep the case they were created with. "" names the
// default value.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/status.h"
#include "platform/registry/tree.h"

namespace platform::registry {

// One key's contents at one moment.
struct KeyListing {
  std::string path;  // in stored case
  std::vector<Value> values;
  std::vector<std::string> subkeys;  // names, sorted case-insensitively
};

class Store {
 public:
  static constexpr std::chrono::milliseconds kLockTimeout{5000};
  // registry.reg is refused when larger (it holds a 16 MiB value with room to spare), and a
  // change that would make it larger is refused, so that the store never writes a file it would
  // not read.
  static constexpr std::int64_t kMaxFileSize = std::int64_t{64} << 20;

  // A store on `file`; the lock file is the same path with the extension ".lock". The file and
  // its folder are created by the first change.
  explicit Store(std::filesystem::path file, std::chrono::milliseconds lockTimeout = kLockTimeout);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::filesystem::path& file() const { return file_; }
  const std::filesystem::path& lockFile() const { return lockFile_; }

  // Succeeds when the key exists; `canonical` receives its path in stored case.
  Status OpenKey(std::string_view path, std::string* canonical = nullptr);
  // Creates the key and any missing parents; `created` tells whether the key itself is new.
  Status CreateKey(std::string_view path, bool* created = nullptr);
  // Deletes a key with all its subkeys. Root keys cannot be deleted.
  Status DeleteKey(std::string_view path);

  Status GetValue(std::string_view key, std::string_view name, Value& out);
  // Stores exactly `data` under `name` in an existing key.
  Status SetValue(std::string_view key, std::string_view name, DWORD type,
                  std::span<const BYTE> data);
  Status DeleteValue(std::string_view key, std::string_view name);

  // The index-th value (creation order) or subkey name (sorted); Error::kNoMoreItems past the end.
  Status EnumValue(std::string_view key, DWORD index, Value& out);
  Status EnumSubkey(std::string_view key, DWORD index, std::string& name);
  Status ReadKey(std::string_view key, KeyListing& out);

  // The whole registry as REGEDIT4 text.
  Status Export(std::string& text);

  // Drops what was read from the file (and the descriptor kept on it); the next call reads again.
  void Forget();

 private:
  // Identity of a registry.reg version, to notice that another process replaced it.
  struct FileId {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;
    bool operator==(const FileId& other) const = default;
  };

  Status Read(const std::function<Status(const Tree&)>& operation);
  // `operation` checks before it changes anything; it sets `changed` when the file must be written.
  Status Write(const std::function<Status(Tree&, bool& changed)>& operation);
  Status Refresh();
  Status Load();
  Status Save();
  Status SaveTo(const std::filesystem::path& target);
  void ForgetLocked();

  std::filesystem::path file_;
  std::filesystem::path lockFile_;
  std::chrono::milliseconds lockTimeout_;

  std::mutex mutex_;  // guards everything below
  Tree tree_;
  Status damage_;                 // why the file cannot be read, while it cannot
  std::optional<FileId> loaded_;  // the version tree_ came from; none: read again
  // Kept open on the version loaded, so that its inode number cannot be reused by a later
  // version while we compare against it (timestamps alone are too coarse to tell apart two
  // writes within a few milliseconds).
  int loadedFd_ = -1;
};

// The process-wide store on registry.reg in the platform root (platform::Root()). A new store is
// made when MDM_ROOT changes between calls; an earlier one stays valid but forgets its contents.
Store& Default();

}  // namespace platform::registry
