// The registry held in memory: keys with typed values, below the predefined root keys.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"
#include "platform/registry/names.h"

namespace platform::registry {

struct Value {
  std::string name;  // "" is the key's default value
  DWORD type = kTypeNone;
  std::vector<BYTE> data;  // exactly the bytes that were set
};

struct Key {
  std::string name;           // as created
  std::vector<Value> values;  // in creation order, as the platform enumerates them
  // By folded name, so that subkeys enumerate sorted case-insensitively.
  std::map<std::string, std::unique_ptr<Key>> subkeys;

  const Value* FindValue(std::string_view valueName) const;
  Value* FindValue(std::string_view valueName) {
    return const_cast<Value*>(static_cast<const Key*>(this)->FindValue(valueName));
  }
  // Replaces the data of an existing value (keeping its name's case and its place) or appends.
  void SetValue(std::string_view valueName, DWORD type, std::vector<BYTE> data);
  bool EraseValue(std::string_view valueName);
  const Key* FindSubkey(std::string_view subkeyName) const;
  Key* FindSubkey(std::string_view subkeyName) {
    return const_cast<Key*>(static_cast<const Key*>(this)->FindSubkey(subkeyName));
  }
  Key& AddSubkey(std::string_view subkeyName, bool* created);
};

class Tree {
 public:
  Tree();
  Key& Root(std::size_t index) { return roots_[index]; }
  const Key& Root(std::size_t index) const { return roots_[index]; }
  // The key at `path`, or null. `canonical`, when given, receives the path in stored case.
  const Key* Find(const KeyPath& path, std::string* canonical = nullptr) const;
  Key* Find(const KeyPath& path) {
    return const_cast<Key*>(static_cast<const Tree*>(this)->Find(path));
  }
  // The key at `path`, created with any missing parents.
  Key& Create(const KeyPath& path, bool* created);
  // Removes a key below a root with all its subkeys; false when it does not exist.
  bool Erase(const KeyPath& path);

 private:
  std::array<Key, kRootNames.size()> roots_;
};

}  // namespace platform::registry
