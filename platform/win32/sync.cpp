// Events, waits, threads, Sleep and the tick count, all on the current clock.
#include "platform/win32/sync.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "platform/win32/faults.h"
#include "platform/win32/windows.h"

namespace platform::win32 {
namespace {

using platform::clock::Clock;
using platform::clock::Lock;
using platform::clock::WaitResult;

class Thread final : public Object {
 public:
  Thread(platform::clock::SpawnedThread spawned, std::shared_ptr<DWORD> exitCode)
      : spawned_(std::move(spawned)), exitCode_(std::move(exitCode)) {}
  ~Thread() override {
    // A thread still running when its handle closes goes on by itself, as on the platform.
    bool ended = spawned_.record.get() != platform::clock::CurrentThread() && Ended();
    if (ended && spawned_.thread.joinable()) spawned_.thread.join();
    platform::clock::Detach(spawned_);
  }
  bool Waitable() const override { return true; }
  bool Signalled() const override { return spawned_.record->ended; }
  platform::clock::ThreadRecord& record() { return *spawned_.record; }
  // Under the clock's mutex.
  DWORD& exitCode() { return *exitCode_; }

 private:
  bool Ended() {
    Lock lock(platform::clock::Current().Mutex());
    return spawned_.record->ended;
  }
  platform::clock::SpawnedThread spawned_;
  std::shared_ptr<DWORD> exitCode_;  // shared with the running body
};

std::optional<platform::clock::Time> DeadlineAfter(Clock& clock, DWORD milliseconds) {
  if (milliseconds == INFINITE) return std::nullopt;
  return clock.Now() + platform::clock::Milliseconds(milliseconds);
}

// Wait-any over waitable objects: the lowest signalled index wins, the others stay signalled.
DWORD WaitAny(const std::vector<std::shared_ptr<Object>>& objects, DWORD milliseconds,
              const char* what) {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  const std::function<bool()> ready = [&objects] {
    for (const auto& object : objects) {
      if (object->Signalled()) return true;
    }
    return false;
  };
  switch (clock.Wait(lock, ready, DeadlineAfter(clock, milliseconds), what)) {
    case WaitResult::kReady:
      for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->Signalled()) {
          objects[i]->Acquire();
          return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
      }
      break;
    case WaitResult::kTimedOut:
      return WAIT_TIMEOUT;
    case WaitResult::kInterrupted:
      break;
  }
  SetLastError(ERROR_OPERATION_ABORTED);
  return WAIT_FAILED;
}

std::shared_ptr<Object> LookupWaitable(HANDLE handle) {
  auto object = LookupObject(handle);
  if (object && !object->Waitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

std::atomic<DWORD> gNextThreadId{1};

}  // namespace

void SetEventLocked(HANDLE handle) {
  if (auto event = std::dynamic_pointer_cast<Event>(LookupObject(handle))) {
    event->SetLocked();
    platform::clock::Current().Notify();
  }
}

}  // namespace platform::win32

using namespace platform::win32;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name != nullptr) {  // named events are not used by the programs
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (faults::ShouldFail(faults::Call::kCreateEvent)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

static BOOL ChangeEvent(HANDLE handle, bool signal) {
  auto event = Lookup<Event>(handle);
  if (!event) return FALSE;
  platform::clock::Clock& clock = platform::clock::Current();
  platform::clock::Lock lock(clock.Mutex());
  if (signal) {
    event->SetLocked();
    clock.Notify();
  } else {
    event->ResetLocked();
  }
  return TRUE;
}

BOOL SetEvent(HANDLE event) {
  return ChangeEvent(event, true);
}
BOOL ResetEvent(HANDLE event) {
  return ChangeEvent(event, false);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = LookupWaitable(handle);
  if (!object) return WAIT_FAILED;
  return WaitAny({object}, milliseconds, "WaitForSingleObject");
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  // The programs wait for any one of a few events; waiting for all is not needed.
  if (waitAll || count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Object>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupWaitable(handles[i]);
    if (!object) return WAIT_FAILED;
    objects.push_back(std::move(object));
  }
  return WaitAny(objects, milliseconds, "WaitForMultipleObjects");
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (start == nullptr || creationFlags != 0) {  // suspended creation is not used
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (faults::ShouldFail(faults::Call::kCreateThread)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD id = gNextThreadId++;
  auto exitCode = std::make_shared<DWORD>(STILL_ACTIVE);
  platform::clock::SpawnedThread spawned;
  try {
    spawned = platform::clock::Spawn("thread " + std::to_string(id), [start, parameter, exitCode] {
      DWORD code = start(parameter);
      platform::clock::Lock lock(platform::clock::Current().Mutex());
      if (*exitCode == STILL_ACTIVE) *exitCode = code;
    });
  } catch (const std::system_error&) {
    // The host has no room for another thread: the platform fails the call.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return InsertHandle(std::make_shared<Thread>(std::move(spawned), std::move(exitCode)));
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
  auto thread = Lookup<Thread>(handle);
  if (!thread) return FALSE;
  platform::clock::Clock& clock = platform::clock::Current();
  platform::clock::Lock lock(clock.Mutex());
  auto& record = thread->record();
  if (record.ended) return TRUE;
  thread->exitCode() = exitCode;
  clock.Interrupt(record);
  const std::function<bool()> ended = [&record] { return record.ended; };
  while (!record.ended) {
    if (clock.Wait(lock, ended, std::nullopt, "TerminateThread") !=
        platform::clock::WaitResult::kReady) {
      break;  // the caller itself is being interrupted
    }
  }
  return TRUE;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  auto thread = Lookup<Thread>(handle);
  if (!thread || exitCode == nullptr) return FALSE;
  platform::clock::Lock lock(platform::clock::Current().Mutex());
  *exitCode = thread->record().ended ? thread->exitCode() : STILL_ACTIVE;
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    platform::clock::Clock& clock = platform::clock::Current();
    platform::clock::Lock lock(clock.Mutex());
    const std::function<bool()> never = [] { return false; };
    clock.Wait(lock, never, std::nullopt, "Sleep(INFINITE)");
    return;
  }
  platform::clock::SleepFor(platform::clock::Milliseconds(milliseconds));
}

DWORD GetTickCount() {
  auto now = platform::clock::Current().Now();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
