// The serial-port map as the updater reads it: values of any name, type and length in
// "Hardware\Devicemap\Serialcomm", then EnumSerialPorts. Its table must be what a plain reading
// of the map with rooms large enough for anything gives: entries in the map's order up to the
// first value whose name (7 characters) or data (32 bytes) is too long for its room, each entry
// the data's first 31 bytes up to a NUL, always terminated, the rest of the table empty.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/root.h"
#include "platform/win32/windows.h"
#include "updater/session/session.h"

namespace {

constexpr const char* kMapKey = "Hardware\\Devicemap\\Serialcomm";
constexpr int kMostValues = 16;

[[noreturn]] void Fail(const char* what, int entry) {
  std::fprintf(stderr, "serialcomm_fuzzer: entry %d: %s\n", entry, what);
  std::abort();
}

// The value types the map may hold in practice, and now and then any other.
DWORD TakeType(FuzzedDataProvider& input) {
  static constexpr DWORD kTypes[] = {REG_SZ, REG_BINARY, REG_DWORD, REG_NONE};
  return input.ConsumeBool() ? input.ConsumeIntegral<DWORD>() : input.PickValueInArray(kTypes);
}

void FillMap(FuzzedDataProvider& input, HKEY key) {
  for (int i = 0; i < kMostValues && input.remaining_bytes() > 0; ++i) {
    std::string name = input.ConsumeRandomLengthString(12);
    DWORD type = TakeType(input);
    std::string data = input.ConsumeRandomLengthString(40);
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
  }
}

// The table EnumSerialPorts should give, from the map read with ample rooms.
std::vector<std::string> ExpectedNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameChars = sizeof(name);
    BYTE data[256];
    DWORD dataBytes = sizeof(data);
    DWORD type;
    if (RegEnumValueA(key, index, name, &nameChars, nullptr, &type, data, &dataBytes) !=
        ERROR_SUCCESS) {
      break;
    }
    if (nameChars >= 8 || dataBytes > 32) break;
    std::size_t length = std::min<std::size_t>(dataBytes, 31);
    auto* text = reinterpret_cast<const char*>(data);
    names.emplace_back(text, strnlen(text, length));
  }
  return names;
}

void Compare(const std::vector<std::string>& expected, DWORD count) {
  auto listed = std::min<std::size_t>(expected.size(), kMaxPorts);
  if (count != listed) Fail("the count differs", static_cast<int>(count));
  for (int i = 0; i < kMaxPorts; ++i) {
    const PortEntry& entry = updateSession.PortTable[i];
    if (std::memchr(entry.name, 0, sizeof(entry.name)) == nullptr) Fail("no terminator", i);
    std::string want = static_cast<std::size_t>(i) < listed ? expected[i] : std::string();
    if (want != entry.name) Fail("the name differs", i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static platform::TemporaryRoot root("mdm-fuzz-");
  FuzzedDataProvider input(data, size);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kMapKey);
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMapKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    Fail("the map cannot be made", -1);
  }
  FillMap(input, key);
  std::vector<std::string> expected = ExpectedNames(key);
  RegCloseKey(key);
  std::memset(&updateSession, 0xA5, sizeof(updateSession));  // what a previous run left
  DWORD count = EnumSerialPorts(kMaxPorts);
  if (portListUnreadable) Fail("the map is unreadable", -1);
  Compare(expected, count);
  return 0;
}
