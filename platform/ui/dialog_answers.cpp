// Who answers the program's questions and file dialogs, kept for whichever backend shows them:
// the stand-in's own boxes on Linux, the operator of the real ones on Windows.
#include <mutex>

#include "platform/ui/dialogs.h"

namespace ui {
namespace {

struct Answers {
  std::mutex mutex;
  MessageBoxAnswer messageBox;
  FileDialogAnswer fileDialog;
};

Answers& TheAnswers() {
  static Answers answers;
  return answers;
}

}  // namespace

MessageBoxAnswer CurrentMessageBoxAnswer() {
  std::lock_guard lock(TheAnswers().mutex);
  return TheAnswers().messageBox;
}

FileDialogAnswer CurrentFileDialogAnswer() {
  std::lock_guard lock(TheAnswers().mutex);
  return TheAnswers().fileDialog;
}

void SetMessageBoxAnswer(MessageBoxAnswer answer) {
  std::lock_guard lock(TheAnswers().mutex);
  TheAnswers().messageBox = std::move(answer);
}

void SetFileDialogAnswer(FileDialogAnswer answer) {
  std::lock_guard lock(TheAnswers().mutex);
  TheAnswers().fileDialog = std::move(answer);
}

std::vector<std::string> SplitFilter(const char* filter) {
  std::vector<std::string> parts;
  if (filter == nullptr) return parts;
  while (*filter != '\0') {
    parts.emplace_back(filter);
    filter += parts.back().size() + 1;
  }
  return parts;
}

}  // namespace ui
