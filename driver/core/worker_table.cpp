// The device table: four slots through which the serial-port side finds a modem by its serial
// number. Every search runs under gFastMutex.
#include <cstring>

#include "driver/core/devext.h"

namespace {

// Runs search over the table under the mutex; null when the table does not exist.
template <class Search>
auto UnderMutex(Search search) -> decltype(search()) {
  ExAcquireFastMutex(&gFastMutex);
  decltype(search()) found = gpWorkerCnts != nullptr ? search() : nullptr;
  ExReleaseFastMutex(&gFastMutex);
  return found;
}

}  // namespace

WorkerContext* findAFreeWorkerContext() {
  return UnderMutex([]() -> WorkerContext* {
    for (int i = 0; i < kWorkerSlots; ++i) {
      if (gpWorkerCnts[i].device == nullptr) return &gpWorkerCnts[i];
    }
    return nullptr;
  });
}

WorkerContext* findTheWorkerContext(DEVICE_OBJECT* deviceObject) {
  return UnderMutex([deviceObject]() -> WorkerContext* {
    for (int i = 0; i < kWorkerSlots; ++i) {
      if (gpWorkerCnts[i].device == deviceObject) return &gpWorkerCnts[i];
    }
    return nullptr;
  });
}

// A prefix match: a slot whose name begins with `name` is found, and an empty name finds slot
// 0. The comparison never reads past the slot's 32 bytes, whatever the length of `name`.
DEVICE_OBJECT* findTheDeviceObject(const char* name) {
  return UnderMutex([name]() -> DEVICE_OBJECT* {
    std::size_t length = std::strlen(name);
    for (int i = 0; i < kWorkerSlots; ++i) {
      if (length <= sizeof(gpWorkerCnts[i].name) &&
          std::memcmp(gpWorkerCnts[i].name, name, length) == 0) {
        return gpWorkerCnts[i].device;
      }
    }
    return nullptr;
  });
}
