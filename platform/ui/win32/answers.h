// The headless answers on Win32. The program's message boxes and open-file dialogs are the real
// ones; while a headless dialog runs, an operator thread looks for those a process shows (this
// one, or another for a test that drives a program) and answers each once, as a person at the
// screen would: the message box with the button the program's answer names, the open-file dialog by
// typing the answered path and pressing Open (or Cancel for no answer), and a question a file
// dialog asks about that path with Yes.
#pragma once

#include <atomic>
#include <thread>

#include <windows.h>

namespace ui::win32 {

class AnswerDialogs {
 public:
  explicit AnswerDialogs(DWORD process = GetCurrentProcessId());
  ~AnswerDialogs();
  AnswerDialogs(const AnswerDialogs&) = delete;
  AnswerDialogs& operator=(const AnswerDialogs&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread operator_;
};

}  // namespace ui::win32
