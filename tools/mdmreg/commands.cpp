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

// A value name the registry file could not hold is a wrong command line, not a failed change.
std::optional<Outcome> BadValueName(const std::string& name) {
  if (reg::ValidValueName(name)) return std::nullopt;
  return Usage("value names cannot hold line breaks or NUL");
}

// "@" and "" both name the default value.
std::string ValueName(const std::string& name) {
  return name == "@" ? std::string() : name;
}

}  // namespace

Outcome Query(reg::Store& store, const std::string& key, std::ostream& out) {
  std::string why;
  auto path = ExpandKeyPath(key, why);
  if (!path) return Usage(why);
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
  std::string why;
  auto path = ExpandKeyPath(key, why);
  if (!path) return Usage(why);
  if (auto bad = BadValueName(name)) return *bad;
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
  std::string why;
  auto path = ExpandKeyPath(key, why);
  if (!path) return Usage(why);
  if (auto bad = name ? BadValueName(*name) : std::nullopt) return *bad;
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
