// Injected failures of platform calls, for tests of the paths that handle them.
#pragma once

namespace platform::win32::faults {

enum class Call { kCreateEvent, kCreateThread };

// Makes the n-th next call of that kind fail as the platform fails it (1: the next call);
// 0 takes the fault back.
void FailNth(Call call, int n);

// Counts one call of that kind; true when it is the one that must fail.
bool ShouldFail(Call call);

}  // namespace platform::win32::faults
