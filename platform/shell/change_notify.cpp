// SHChangeNotify: the shell of this host has no views to refresh, so the stand-in only records
// each notice for tests to see.
#include <mutex>

#include "platform/shell/shell_state.h"

namespace platform::shell {
namespace {

struct Notices {
  std::mutex mutex;
  std::vector<ChangeNotice> list;
};

Notices& TheNotices() {
  static Notices notices;
  return notices;
}

constexpr UINT kTypeMask = 0x00FF;  // the part of the flags that says what the items are

std::string ItemText(UINT flags, LPCVOID item) {
  if ((flags & kTypeMask) != SHCNF_PATHA || item == nullptr) return {};
  return static_cast<const char*>(item);
}

}  // namespace

std::vector<ChangeNotice> ChangeNotices() {
  std::lock_guard lock(TheNotices().mutex);
  return TheNotices().list;
}

void ClearChangeNotices() {
  std::lock_guard lock(TheNotices().mutex);
  TheNotices().list.clear();
}

}  // namespace platform::shell

void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
  using namespace platform::shell;
  ChangeNotice notice{eventId, flags, ItemText(flags, item1), ItemText(flags, item2),
                      item2 != nullptr};
  std::lock_guard lock(TheNotices().mutex);
  TheNotices().list.push_back(std::move(notice));
}
