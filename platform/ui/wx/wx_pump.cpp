#include "platform/ui/wx/wx_pump.h"

#include <wx/app.h>

#include <optional>
#include <thread>

#include "platform/clock/clock.h"

namespace ui::wx {
namespace {

using platform::clock::Clock;
using platform::clock::Lock;

constexpr platform::clock::Duration kIdleStep = platform::clock::Milliseconds(1000);
constexpr UINT kRunFunction = WM_USER + 0x3F1;  // private: lParam points at a function to run

// Under the clock's mutex.
struct Pump {
  std::shared_ptr<MessageQueue> queue;
  bool handed = false;         // the toolkit's loop has been asked to serve the queue
  bool dialogRunning = false;  // the toolkit thread is registered and runs a handler
  bool stopping = false;
  std::optional<platform::clock::SpawnedThread> watcher;
  platform::clock::ThreadId toolkitThread = 0;
  HWND runner = nullptr;  // a window of the toolkit thread that runs functions sent to it
};

Pump& ThePump() {
  static Pump pump;
  return pump;
}

void Serve() {
  PumpPendingMessages();
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  ThePump().handed = false;
  clock.Notify();
}

void Watch() {
  Pump& pump = ThePump();
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  const std::function<bool()> due = [&pump] {
    return pump.stopping || (!pump.handed && HasMessagesLocked(*pump.queue)) ||
           (pump.handed && !pump.dialogRunning);
  };
  for (;;) {
    // A window waiting for the user is idle, not deadlocked: when nothing else is due, time
    // moves on in steps paced by wall time, as it would while the user looks at the window.
    auto result = clock.Wait(lock, due, clock.Now() + kIdleStep, "the dialog thread's queue");
    if (result == platform::clock::WaitResult::kInterrupted || pump.stopping) return;
    if (result == platform::clock::WaitResult::kTimedOut) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      lock.lock();
      continue;
    }
    if (!pump.handed) {
      pump.handed = true;
      wxTheApp->CallAfter([] { Serve(); });
    }
    // Running, not blocked, while the toolkit thread serves what it was handed.
    while (pump.handed && !pump.dialogRunning && !pump.stopping) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      lock.lock();
      clock.Yield(lock);  // the toolkit thread, once registered, takes its turn
    }
  }
}

void SetDialogRunning(bool running) {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  ThePump().dialogRunning = running;
  clock.Notify();
}

}  // namespace

void StartPump() {
  Pump& pump = ThePump();
  pump.queue = ThisThreadsMessageQueue();
  pump.toolkitThread = platform::clock::ThisThread();
  pump.stopping = false;
  pump.handed = false;
  pump.runner = CreateWindowObject(nullptr, 0, [](HWND, UINT message, WPARAM, LPARAM lParam) {
    if (message == kRunFunction) (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return LRESULT{0};
  });
  pump.watcher = platform::clock::Spawn("dialog thread watcher", Watch);
}

void StopPump() {
  Pump& pump = ThePump();
  if (!pump.watcher) return;
  {
    Clock& clock = platform::clock::Current();
    Lock lock(clock.Mutex());
    pump.stopping = true;
    clock.Notify();
  }
  std::optional<platform::clock::ThreadScope> registered;
  if (platform::clock::CurrentThread() == nullptr) registered.emplace("dialog");
  platform::clock::Join(*pump.watcher);
  pump.watcher.reset();
  DestroyWindowObject(pump.runner);
  pump.runner = nullptr;
}

LRESULT AsDialogThread(const WindowProc& proc, HWND window, UINT message, WPARAM wParam,
                       LPARAM lParam) {
  if (platform::clock::CurrentThread() != nullptr) return proc(window, message, wParam, lParam);
  LRESULT result;
  {
    platform::clock::ThreadScope registered("dialog");
    SetDialogRunning(true);
    result = proc(window, message, wParam, lParam);
    // The watcher runs again before this thread leaves the clock, so time cannot slip past
    // messages still queued.
    SetDialogRunning(false);
  }
  return result;
}

void RunOnToolkitThread(const std::function<void()>& fn) {
  if (platform::clock::ThisThread() == ThePump().toolkitThread) {
    fn();
    return;
  }
  SendMessageA(ThePump().runner, kRunFunction, 0, reinterpret_cast<LPARAM>(&fn));
}

}  // namespace ui::wx
