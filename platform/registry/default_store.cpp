#include <memory>
#include <vector>

#include "platform/base/root.h"
#include "platform/registry/store.h"

namespace platform::registry {

Store& Default() {
  struct Holder {
    std::mutex mutex;
    std::unique_ptr<Store> current;
    // Stores of earlier roots: a caller may still hold a reference, so they are kept alive.
    std::vector<std::unique_ptr<Store>> retired;
  };
  static Holder holder;
  std::lock_guard lock(holder.mutex);
  std::filesystem::path file = platform::Root() / "registry.reg";
  if (!holder.current || holder.current->file() != file) {
    if (holder.current) {
      holder.current->Forget();
      holder.retired.push_back(std::move(holder.current));
    }
    holder.current = std::make_unique<Store>(file);
  }
  return *holder.current;
}

}  // namespace platform::registry
