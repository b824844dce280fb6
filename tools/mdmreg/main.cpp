// mdmreg: looks at and changes the registry in the platform root (MDM_ROOT).
#include <CLI/CLI.hpp>
#include <iostream>

#include "platform/base/abrupt_end.h"
#include "platform/base/version.h"
#include "platform/registry/store.h"
#include "tools/mdmreg/commands.h"

namespace {

struct Arguments {
  std::string key;
  std::string name;
  std::string type;
  std::string value;
};

int Report(const mdmreg::Outcome& outcome, const CLI::App& app) {
  if (outcome.exitCode == mdmreg::kExitOk) return outcome.exitCode;
  std::cerr << "mdmreg: " << outcome.message << '\n';
  if (outcome.exitCode == mdmreg::kExitUsage) std::cerr << app.help();
  return outcome.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  // Out of memory or descriptors: one line and the status of a failed operation.
  platform::EndAbruptlyButCleanly("mdmreg", mdmreg::kExitFailed);
  CLI::App app("Looks at and changes the registry in the platform root (MDM_ROOT).", "mdmreg");
  app.require_subcommand(1);
  // An argument starting with '-' reads as an option; after "--" every argument is positional.
  app.footer(
      "A value or name that starts with '-' goes after \"--\":\n"
      "  mdmreg set HKLM\\Software\\A Note REG_SZ -- -starts-with-a-dash\n\n"
      "Environment: MDM_ROOT is the platform root whose registry.reg is read and written "
      "(default $XDG_DATA_HOME/mdm, or ~/.local/share/mdm).\n\n"
      "Exit status: 0 done, 1 the operation failed (a missing key or value, a damaged or "
      "unwritable registry file), 2 a bad command line.");
  app.add_flag_callback(
      "--version",
      [] {
        platform::PrintVersion(
            "mdmreg", {"Reads and writes the registry file registry.reg of the platform root: "
                       "REGEDIT4 text, values of type REG_SZ, REG_DWORD and REG_BINARY."});
        throw CLI::Success();
      },
      "print the version and the registry format, and exit");
  Arguments args;

  CLI::App* query = app.add_subcommand("query", "Show a key's values and subkeys");
  query->add_option("KEY", args.key, "Key path, e.g. HKLM\\Hardware\\Devicemap")->required();

  CLI::App* set = app.add_subcommand("set", "Set a value, creating missing keys");
  set->add_option("KEY", args.key, "Key path")->required();
  set->add_option("NAME", args.name, "Value name (@ or \"\" for the default value)")->required();
  set->add_option("TYPE", args.type, "REG_SZ, REG_DWORD or REG_BINARY")->required();
  set->add_option("VALUE", args.value, "Text, number (decimal or 0x-hex) or hex bytes (01,02,ff)")
      ->required();

  CLI::App* remove = app.add_subcommand("delete", "Delete a value, or a key with its subkeys");
  remove->add_option("KEY", args.key, "Key path")->required();
  CLI::Option* removeName = remove->add_option("NAME", args.name, "Value name (@: default)");

  app.add_subcommand("export", "Print the whole registry as REGEDIT4 text");

  // CLI11 would only say that a subcommand is required; name the word it did not know.
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (!first.empty() && first[0] != '-' && first != "query" && first != "set" &&
      first != "delete" && first != "export") {
    std::cerr << "mdmreg: unknown subcommand " << argv[1] << '\n' << app.help();
    return mdmreg::kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    std::cerr << "mdmreg: " << error.what() << '\n' << app.help();
    return mdmreg::kExitUsage;
  }

  platform::registry::Store& store = platform::registry::Default();
  mdmreg::Outcome outcome;
  if (query->parsed()) {
    outcome = mdmreg::Query(store, args.key, std::cout);
  } else if (set->parsed()) {
    outcome = mdmreg::Set(store, args.key, args.name, args.type, args.value);
  } else if (remove->parsed()) {
    std::optional<std::string> name;
    if (removeName->count() > 0) name = args.name;
    outcome = mdmreg::Delete(store, args.key, name);
  } else {
    outcome = mdmreg::Export(store, std::cout);
  }
  std::cout.flush();
  return Report(outcome, app);
}
