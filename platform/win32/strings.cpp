// The process-wide string table and LoadStringA.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/win32/string_table.h"

namespace platform::win32 {
namespace {

constexpr DWORD kErrorResourceNameNotFound = 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND

struct StringTable {
  std::mutex mutex;
  std::unordered_map<UINT, std::string> texts;
};

StringTable& Table() {
  static StringTable table;
  return table;
}

}  // namespace

void RegisterStringTable(std::span<const StringResource> strings) {
  std::unordered_map<UINT, std::string> texts;
  for (const auto& entry : strings) {
    texts.insert_or_assign(entry.id, entry.text != nullptr ? entry.text : "");
  }
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  table.texts = std::move(texts);
}

void ClearStringTable() {
  RegisterStringTable({});
}

}  // namespace platform::win32

int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int bufferMax) {
  using namespace platform::win32;
  if (buffer == nullptr || bufferMax <= 0) return 0;
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.texts.find(id);
  // The platform keeps no empty strings: an empty text is a missing one.
  if (it == table.texts.end() || it->second.empty()) {
    buffer[0] = '\0';
    SetLastError(kErrorResourceNameNotFound);
    return 0;
  }
  const std::size_t copied = std::min(it->second.size(), static_cast<std::size_t>(bufferMax) - 1);
  std::memcpy(buffer, it->second.data(), copied);
  buffer[copied] = '\0';
  return static_cast<int>(copied);
}
