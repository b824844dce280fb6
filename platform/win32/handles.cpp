#include <mutex>
#include <unordered_map>

#include "platform/base/spin_lock.h"
#include "platform/clock/per_thread.h"
#include "platform/win32/objects.h"

namespace platform::win32 {
namespace {

struct HandleTable {
  SpinLock mutex;
  std::unordered_map<ULONG_PTR, std::shared_ptr<Object>> objects;
  ULONG_PTR next = 0x100;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

ULONG_PTR Key(HANDLE handle) {
  return reinterpret_cast<ULONG_PTR>(handle);
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  ULONG_PTR value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupObject(HANDLE handle) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.objects.find(Key(handle));
  if (it == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

std::size_t OpenHandleCount() {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  return table.objects.size();
}

}  // namespace platform::win32

BOOL CloseHandle(HANDLE handle) {
  using namespace platform::win32;
  std::shared_ptr<Object> object;
  {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(Key(handle));
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.objects.erase(it);
  }
  // Each object has exactly one handle here (no DuplicateHandle), so this close is the last.
  object->OnLastHandleClosed();
  return TRUE;
}

namespace {
const platform::clock::PerThread<DWORD> tLastError{ERROR_SUCCESS};
}

DWORD GetLastError() {
  return *tLastError;
}
void SetLastError(DWORD error) {
  *tLastError = error;
}
