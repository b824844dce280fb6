// The mdmreg subcommands over the registry store. Each writes its output to `out`, and on
// failure leaves a message in the outcome.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "platform/registry/store.h"

namespace mdmreg {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the operation failed (missing key, damaged file, ...)
constexpr int kExitUsage = 2;   // the command line was wrong

struct Outcome {
  int exitCode = kExitOk;
  std::string message;  // for stderr, when exitCode is not kExitOk
};

Outcome Query(platform::registry::Store& store, const std::string& key, std::ostream& out);
Outcome Set(platform::registry::Store& store, const std::string& key, const std::string& name,
            const std::string& type, const std::string& value);
// Deletes the value `name`, or the whole key when no name is given.
Outcome Delete(platform::registry::Store& store, const std::string& key,
               const std::optional<std::string>& name);
Outcome Export(platform::registry::Store& store, std::ostream& out);

}  // namespace mdmreg
