#include "updater/dialog/strings.h"

#include "platform/win32/string_table.h"

namespace {

using platform::win32::StringResource;

#define MDM_STRING(name, number, text) StringResource{name, text},
constexpr StringResource kStrings[] = {
#include "updater/dialog/strings.inc"
};
#undef MDM_STRING

}  // namespace

void RegisterUpdaterStrings() {
  platform::win32::RegisterStringTable(kStrings);
}
