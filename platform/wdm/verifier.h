// The kernel's rule checks, as the platform's driver verifier makes them: a request completed
// twice or never, freed while a lower driver owns it, kept by a completion routine and then
// forgotten; a blocking wait at DISPATCH_LEVEL; a pool block freed twice or with the wrong tag;
// pool blocks or requests left when a device is deleted or the driver unloads. A broken rule is
// a violation: by default it is printed and the process stops, so a test fails loudly; a test
// that provokes one on purpose installs a handler that records it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::wdm::verifier {

using Handler = std::function<void(const std::string& violation)>;

// Installs a handler (null: the default, print and abort); returns the previous one.
Handler SetHandler(Handler handler);

// Reports a violation to the handler.
void Report(const std::string& violation);

// Records every violation while it lives instead of stopping the process.
class Recorder {
 public:
  Recorder();
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  std::vector<std::string> Violations() const;
  void Clear();

 private:
  Handler previous_;
  std::shared_ptr<std::vector<std::string>> seen_;
};

}  // namespace platform::wdm::verifier
