// Invariants the code relies on, stated where it relies on them. In the checked build (the
// AddressSanitizer and UndefinedBehaviorSanitizer build, MDM_CHECKED) a broken one stops the
// program at once with its file, line and condition; in the normal build the condition is
// compiled but never evaluated, so it costs nothing and may not have side effects.
#pragma once

namespace platform {

[[noreturn]] void AssertionFailed(const char* file, int line, const char* condition);

}  // namespace platform

#if defined(MDM_CHECKED) && MDM_CHECKED
#define MDM_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : ::platform::AssertionFailed(__FILE__, __LINE__, #condition))
#else
#define MDM_ASSERT(condition) static_cast<void>(sizeof(!(condition)))
#endif
