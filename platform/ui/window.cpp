#include "platform/ui/window.h"

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock/clock.h"

namespace ui {

struct SentMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  enum class State { kQueued, kRunning, kDone } state = State::kQueued;
};

struct PostedMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

struct MessageQueue {
  platform::clock::ThreadId owner = platform::clock::ThisThread();
  std::deque<SentMessage*> sent;
  std::deque<PostedMessage> posted;
};

namespace {

using platform::clock::Clock;
using platform::clock::Lock;
using platform::clock::WaitResult;

struct Window {
  HWND parent;
  int id;
  WindowProc proc;
  std::shared_ptr<MessageQueue> queue;
  std::vector<HWND> children;
};

// Everything here is guarded by the clock's mutex, so that waits for messages are clock-aware.
struct Windows {
  std::map<HWND, std::shared_ptr<Window>> byHandle;
  ULONG_PTR next = 0x10000;
  std::uint64_t wakeGeneration = 0;
  std::map<std::string, UINT> registeredMessages;
};

Windows& TheWindows() {
  static Windows windows;
  return windows;
}

const platform::clock::PerThread<std::shared_ptr<MessageQueue>> tQueue;

std::shared_ptr<Window> FindLocked(HWND handle) {
  auto& all = TheWindows().byHandle;
  auto it = all.find(handle);
  return it == all.end() ? nullptr : it->second;
}

std::shared_ptr<MessageQueue> ThisThreadsQueue() {
  if (!*tQueue) *tQueue = std::make_shared<MessageQueue>();
  return *tQueue;
}

// Carries out one message of the calling thread's queue, with the lock released around the
// window procedure. False when the queue is empty.
bool RunOneLocked(Lock& lock, MessageQueue& queue, Clock& clock) {
  if (!queue.sent.empty()) {
    SentMessage* message = queue.sent.front();
    queue.sent.pop_front();
    message->state = SentMessage::State::kRunning;
    auto window = FindLocked(message->window);
    lock.unlock();
    LRESULT result =
        window ? window->proc(message->window, message->message, message->wParam, message->lParam)
               : 0;
    lock.lock();
    message->result = result;
    message->state = SentMessage::State::kDone;
    clock.Notify();
    return true;
  }
  if (!queue.posted.empty()) {
    PostedMessage message = queue.posted.front();
    queue.posted.pop_front();
    auto window = FindLocked(message.window);
    lock.unlock();
    if (window) window->proc(message.window, message.message, message.wParam, message.lParam);
    lock.lock();
    return true;
  }
  return false;
}

void DestroyLocked(HWND handle) {
  auto window = FindLocked(handle);
  if (!window) return;
  // Each child takes itself off its parent's list, so the list is walked as a copy.
  std::vector<HWND> children = std::move(window->children);
  window->children.clear();
  for (HWND child : children) DestroyLocked(child);
  if (auto parent = FindLocked(window->parent)) std::erase(parent->children, handle);
  TheWindows().byHandle.erase(handle);
}

}  // namespace

std::shared_ptr<MessageQueue> ThisThreadsMessageQueue() {
  return ThisThreadsQueue();
}

bool HasMessagesLocked(const MessageQueue& queue) {
  return !queue.sent.empty() || !queue.posted.empty();
}

HWND CreateWindowObject(HWND parent, int id, WindowProc proc) {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  auto& windows = TheWindows();
  HWND handle = reinterpret_cast<HWND>(windows.next);
  windows.next += 0x10;
  windows.byHandle[handle] =
      std::make_shared<Window>(Window{parent, id, std::move(proc), ThisThreadsQueue(), {}});
  if (auto owner = FindLocked(parent)) owner->children.push_back(handle);
  return handle;
}

void DestroyWindowObject(HWND window) {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  DestroyLocked(window);
  clock.Notify();
}

bool PumpMessages(const std::function<bool()>& done) {
  Clock& clock = platform::clock::Current();
  auto queue = ThisThreadsQueue();
  Lock lock(clock.Mutex());
  for (;;) {
    if (RunOneLocked(lock, *queue, clock)) continue;
    std::uint64_t generation = TheWindows().wakeGeneration;
    lock.unlock();
    bool finished = done();
    lock.lock();
    if (finished) return true;
    const std::function<bool()> arrived = [&queue, generation] {
      return !queue->sent.empty() || !queue->posted.empty() ||
             TheWindows().wakeGeneration != generation;
    };
    if (clock.Wait(lock, arrived, std::nullopt, "the dialog's message loop") ==
        WaitResult::kInterrupted) {
      return false;
    }
  }
}

void PumpPendingMessages() {
  Clock& clock = platform::clock::Current();
  auto queue = ThisThreadsQueue();
  Lock lock(clock.Mutex());
  while (RunOneLocked(lock, *queue, clock)) {
  }
}

void Wake() {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  ++TheWindows().wakeGeneration;
  clock.Notify();
}

}  // namespace ui

using namespace ui;

LRESULT SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  auto window = FindLocked(handle);
  if (!window) return 0;
  if (window->queue->owner == platform::clock::ThisThread()) {
    lock.unlock();
    return window->proc(handle, message, wParam, lParam);
  }
  SentMessage sent{handle, message, wParam, lParam};
  window->queue->sent.push_back(&sent);
  clock.Notify();
  const std::function<bool()> done = [&sent] { return sent.state == SentMessage::State::kDone; };
  if (clock.Wait(lock, done, std::nullopt, "SendMessage to the dialog thread") ==
      WaitResult::kReady) {
    return sent.result;
  }
  // The sender is being stopped. A message not yet started is withdrawn; one that has started
  // is short (a window procedure does not block) and is waited for, since it uses our data.
  auto& waiting = window->queue->sent;
  if (sent.state == SentMessage::State::kQueued) {
    waiting.erase(std::find(waiting.begin(), waiting.end(), &sent));
    return 0;
  }
  // The stop stays pending meanwhile.
  platform::clock::ThreadRecord* me = platform::clock::CurrentThread();
  bool interrupted = std::exchange(me->interrupted, false);
  clock.Wait(lock, done, std::nullopt, "a started SendMessage to the dialog thread");
  me->interrupted = interrupted;
  return sent.result;
}

BOOL PostMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  Clock& clock = platform::clock::Current();
  Lock lock(clock.Mutex());
  auto window = FindLocked(handle);
  if (!window) return FALSE;
  window->queue->posted.push_back({handle, message, wParam, lParam});
  clock.Notify();
  return TRUE;
}

UINT RegisterWindowMessageA(LPCSTR name) {
  if (name == nullptr || *name == '\0') return 0;
  Lock lock(platform::clock::Current().Mutex());
  auto& registered = TheWindows().registeredMessages;
  auto it = registered.find(name);
  if (it != registered.end()) return it->second;
  UINT message = 0xC000 + static_cast<UINT>(registered.size());
  registered.emplace(name, message);
  return message;
}

HWND GetDlgItem(HWND dialog, int id) {
  Lock lock(platform::clock::Current().Mutex());
  auto window = FindLocked(dialog);
  if (!window) return nullptr;
  for (HWND child : window->children) {
    auto control = FindLocked(child);
    if (control && control->id == id) return child;
  }
  return nullptr;
}
