#include "tools/mdmreg/commands.h"

#include "tools/mdmreg/values.h"

namespace mdmreg {
namespace {

namespace reg = platform::registry;

Outcome Failed(const reg::Status& status) {
  return {kExitFailed, status.message};
}

Outcome Usage(std::string message) {
  return {kExitUsage, std::move(message)};
}

Outcome BadKey(const std::string& key) {
  return Usage("not a key path (it must start with a root key such as HKLM): " + key);
}

// "@" and "" both name the default value.
std::string ValueName(const std::string& name) {
  return name == "@" ? std::string() : name;
}

}  // namespace

Outcome Query(reg::Store& store, const std::string& key, std::ostream& out) {
  auto path = ExpandKeyPath(key);
  if (!path) return BadKey(key);
  reg::KeyListing listing;
  if (reg::Status status = store.ReadKey(*path, listing); !status.ok()) return Failed(status);
  out << listing.path << '\n';
  for (const reg::Value& value : listing.values) {
    out << "    " << (value.name.empty() ? "(Default)" : value.name) << "    "
        << TypeName(value.type) << "    " << ShowData(value) << '\n';
  }
  for (const std::string& subkey : listing.subkeys) {
    out << '\n' << listing.path << '\\' << subkey << '\n';
  }
  return {};
}

Outcome Set(reg::Store& store, const std::string& key, const std::string& name,
            const std::string& type, const std::string& value) {
  auto path = ExpandKeyPath(key);
  if (!path) return BadKey(key);
  auto typeCode = ParseTypeName(type);
  if (!typeCode)
    return Usage("unknown value type " + type + " (use REG_SZ, REG_DWORD, REG_BINARY)");
  auto data = ParseValueText(*typeCode, value);
  if (!data) return Usage("not a " + type + " value: " + value);
  reg::Status status = store.CreateKey(*path);
  if (status.ok()) status = store.SetValue(*path, ValueName(name), *typeCode, *data);
  return status.ok() ? Outcome{} : Failed(status);
}

Outcome Delete(reg::Store& store, const std::string& key, const std::optional<std::string>& name) {
  auto path = ExpandKeyPath(key);
  if (!path) return BadKey(key);
  reg::Status status = name ? store.DeleteValue(*path, ValueName(*name)) : store.DeleteKey(*path);
  return status.ok() ? Outcome{} : Failed(status);
}

Outcome Export(reg::Store& store, std::ostream& out) {
  std::string text;
  if (reg::Status status = store.Export(text); !status.ok()) return Failed(status);
  out << text;
  return {};
}

}  // namespace mdmreg
