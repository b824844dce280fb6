#include "platform/wdm/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform::wdm::verifier {
namespace {

struct State {
  std::mutex mutex;
  Handler handler;
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace

Handler SetHandler(Handler handler) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  Handler previous = std::move(state.handler);
  state.handler = std::move(handler);
  return previous;
}

void Report(const std::string& violation) {
  Handler handler;
  {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    handler = state.handler;
  }
  if (handler) {
    handler(violation);
    return;
  }
  std::fprintf(stderr, "driver verifier: %s\n", violation.c_str());
  std::abort();
}

Recorder::Recorder() : seen_(std::make_shared<std::vector<std::string>>()) {
  auto seen = seen_;
  previous_ = SetHandler([seen](const std::string& violation) { seen->push_back(violation); });
}

Recorder::~Recorder() {
  SetHandler(std::move(previous_));
}

std::vector<std::string> Recorder::Violations() const {
  std::lock_guard lock(TheState().mutex);
  return *seen_;
}

void Recorder::Clear() {
  std::lock_guard lock(TheState().mutex);
  seen_->clear();
}

}  // namespace platform::wdm::verifier
