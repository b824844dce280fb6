// The driver's choice of a COM port from the registry's ENUM tree, on any registry the reader
// accepts: the ports named in "PortName" and "AttachedTo" values, earlier bindings in
// "USBDeviceID" and "FirstValidPort", at any depth. The choice must be a port 1 to 9 or none,
// and the scan must give back every heap block and close every key it opened.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "driver/install/install.h"
#include "platform/base/root.h"
#include "platform/registry/regedit4.h"
#include "platform/vxd/vmm.h"
#include "platform/vxd/vmmreg.h"

namespace {

constexpr char kDeviceId[] = "USB\\VID_F3A9&PID_5201\\0000A1B2C3D4";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "enum_ports_fuzzer: %s\n", what);
  std::abort();
}

// Puts `text` in place as registry.reg by a rename, as a writer does, so that the store sees
// a new file and reads it.
void InstallRegistry(const std::filesystem::path& root, const std::string& text) {
  std::filesystem::path next = root / "registry.reg.next";
  std::ofstream(next, std::ios::binary | std::ios::trunc) << text;
  std::filesystem::rename(next, root / "registry.reg");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static platform::TemporaryRoot root("mdm-fuzz-");
  std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::registry::Tree tree;
  if (!platform::registry::ParseRegedit4(text, "input", tree).ok()) return -1;
  InstallRegistry(root.path(), platform::registry::FormatRegedit4(tree));
  LONG port = GetValidCommPort(kDeviceId);
  if (port < 0 || port > kLastComPort) Fail("a port out of range");
  if (platform::vxd::HeapBlocksOutstanding() != 0) Fail("a heap block was left");
  if (platform::vxd::OpenRegistryKeys() != 0) Fail("a registry key was left open");
  return 0;
}
