#include "platform/registry/tree.h"

#include <algorithm>

namespace platform::registry {

const Value* Key::FindValue(std::string_view valueName) const {
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& value) { return EqualNoCase(value.name, valueName); });
  return it == values.end() ? nullptr : &*it;
}

void Key::SetValue(std::string_view valueName, DWORD type, std::vector<BYTE> data) {
  if (Value* value = FindValue(valueName)) {
    value->type = type;
    value->data = std::move(data);
    return;
  }
  values.push_back(Value{std::string(valueName), type, std::move(data)});
}

bool Key::EraseValue(std::string_view valueName) {
  return std::erase_if(values,
                       [&](const Value& value) { return EqualNoCase(value.name, valueName); }) != 0;
}

const Key* Key::FindSubkey(std::string_view subkeyName) const {
  auto it = subkeys.find(Fold(subkeyName));
  return it == subkeys.end() ? nullptr : it->second.get();
}

Key& Key::AddSubkey(std::string_view subkeyName, bool* created) {
  auto [it, inserted] = subkeys.try_emplace(Fold(subkeyName));
  if (inserted) {
    it->second = std::make_unique<Key>();
    it->second->name = std::string(subkeyName);
  }
  if (created != nullptr) *created = inserted;
  return *it->second;
}

Tree::Tree() {
  for (std::size_t i = 0; i < roots_.size(); ++i) roots_[i].name = std::string(kRootNames[i]);
}

const Key* Tree::Find(const KeyPath& path, std::string* canonical) const {
  const Key* key = &roots_[path.root];
  if (canonical != nullptr) *canonical = key->name;
  for (const std::string& part : path.parts) {
    key = key->FindSubkey(part);
    if (key == nullptr) return nullptr;
    if (canonical != nullptr) *canonical += '\\' + key->name;
  }
  return key;
}

Key& Tree::Create(const KeyPath& path, bool* created) {
  Key* key = &roots_[path.root];
  bool last = false;
  for (const std::string& part : path.parts) key = &key->AddSubkey(part, &last);
  if (created != nullptr) *created = last;
  return *key;
}

bool Tree::Erase(const KeyPath& path) {
  if (path.parts.empty()) return false;
  KeyPath parentPath{path.root, {path.parts.begin(), path.parts.end() - 1}};
  Key* parent = Find(parentPath);
  return parent != nullptr && parent->subkeys.erase(Fold(path.parts.back())) != 0;
}

}  // namespace platform::registry
