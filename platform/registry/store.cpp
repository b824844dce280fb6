// The store's operations, each one transaction (see store.h).
#include "platform/registry/store.h"
#include "platform/registry/regedit4.h"

namespace platform::registry {
namespace {

Status KeyNotFound(std::string_view path) {
  return Status::Fail(Error::kNotFound, "key not found: " + std::string(path));
}

Status ValueNotFound(std::string_view key, std::string_view name) {
  return Status::Fail(Error::kNotFound, "value " +
                                            (name.empty() ? "(Default)" : std::string(name)) +
                                            " not found in " + std::string(key));
}

Status CheckValueName(std::string_view name) {
  if (ValidValueName(name)) return Status::Ok();
  return Status::Fail(Error::kInvalidParameter, "value names cannot hold line breaks or NUL");
}

}  // namespace

Status Store::OpenKey(std::string_view path, std::string* canonical) {
  KeyPath parsed;
  if (Status status = ParsePath(path, parsed); !status.ok()) return status;
  return Read([&](const Tree& tree) {
    return tree.Find(parsed, canonical) != nullptr ? Status::Ok() : KeyNotFound(path);
  });
}

Status Store::CreateKey(std::string_view path, bool* created) {
  KeyPath parsed;
  if (Status status = ParsePath(path, parsed); !status.ok()) return status;
  return Write([&](Tree& tree, bool& changed) {
    tree.Create(parsed, &changed);
    if (created != nullptr) *created = changed;
    return Status::Ok();
  });
}

Status Store::DeleteKey(std::string_view path) {
  KeyPath parsed;
  if (Status status = ParsePath(path, parsed); !status.ok()) return status;
  if (parsed.parts.empty()) {
    return Status::Fail(Error::kAccessDenied, "a root key cannot be deleted: " + std::string(path));
  }
  return Write([&](Tree& tree, bool& changed) {
    changed = tree.Erase(parsed);
    return changed ? Status::Ok() : KeyNotFound(path);
  });
}

Status Store::GetValue(std::string_view key, std::string_view name, Value& out) {
  KeyPath parsed;
  if (Status status = ParsePath(key, parsed); !status.ok()) return status;
  return Read([&](const Tree& tree) {
    const Key* found = tree.Find(parsed);
    if (found == nullptr) return KeyNotFound(key);
    const Value* value = found->FindValue(name);
    if (value == nullptr) return ValueNotFound(key, name);
    out = *value;
    return Status::Ok();
  });
}

Status Store::SetValue(std::string_view key, std::string_view name, DWORD type,
                       std::span<const BYTE> data) {
  KeyPath parsed;
  if (Status status = ParsePath(key, parsed); !status.ok()) return status;
  if (Status status = CheckValueName(name); !status.ok()) return status;
  return Write([&](Tree& tree, bool& changed) {
    Key* found = tree.Find(parsed);
    if (found == nullptr) return KeyNotFound(key);
    found->SetValue(name, type, std::vector<BYTE>(data.begin(), data.end()));
    changed = true;
    return Status::Ok();
  });
}

Status Store::DeleteValue(std::string_view key, std::string_view name) {
  KeyPath parsed;
  if (Status status = ParsePath(key, parsed); !status.ok()) return status;
  return Write([&](Tree& tree, bool& changed) {
    Key* found = tree.Find(parsed);
    if (found == nullptr) return KeyNotFound(key);
    changed = found->EraseValue(name);
    return changed ? Status::Ok() : ValueNotFound(key, name);
  });
}

Status Store::EnumValue(std::string_view key, DWORD index, Value& out) {
  KeyPath parsed;
  if (Status status = ParsePath(key, parsed); !status.ok()) return status;
  return Read([&](const Tree& tree) {
    const Key* found = tree.Find(parsed);
    if (found == nullptr) return KeyNotFound(key);
    if (index >= found->values.size()) return Status::Fail(Error::kNoMoreItems, "no more values");
    out = found->values[index];
    return Status::Ok();
  });
}

Status Store::EnumSubkey(std::string_view key, DWORD index, std::string& name) {
  KeyPath parsed;
  if (Status status = ParsePath(key, parsed); !status.ok()) return status;
  return Read([&](const Tree& tree) {
    const Key* found = tree.Find(parsed);
    if (found == nullptr) return KeyNotFound(key);
    if (index >= found->subkeys.size()) return Status::Fail(Error::kNoMoreItems, "no more keys");
    name = std::next(found->subkeys.begin(), index)->second->name;
    return Status::Ok();
  });
}

Status Store::ReadKey(std::string_view key, KeyListing& out) {
  KeyPath parsed;
  if (Status status = ParsePath(key, parsed); !status.ok()) return status;
  return Read([&](const Tree& tree) {
    const Key* found = tree.Find(parsed, &out.path);
    if (found == nullptr) return KeyNotFound(key);
    out.values = found->values;
    out.subkeys.clear();
    for (const auto& [folded, subkey] : found->subkeys) out.subkeys.push_back(subkey->name);
    return Status::Ok();
  });
}

Status Store::Export(std::string& text) {
  return Read([&](const Tree& tree) {
    text = FormatRegedit4(tree);
    return Status::Ok();
  });
}

}  // namespace platform::registry
