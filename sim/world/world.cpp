#include "sim/world/world.h"

#include "platform/usb/pdo.h"

namespace sim::world {

World::World() : bus_(std::make_unique<hostctl::HostController>(processor_)) {
  thread_ = platform::clock::Spawn("world", [this] { processor_.Run(); });
  // The processor is the kernel's only once its thread runs it.
  platform::clock::Clock& clock = platform::clock::Current();
  platform::clock::Lock lock(clock.Mutex());
  const std::function<bool()> running = [this] {
    return platform::wdm::CurrentProcessor() == &processor_;
  };
  clock.Wait(lock, running, std::nullopt, "the world's processor to start");
}

World::~World() {
  Call([this] { bus_.reset(); });
  processor_.Stop();
  platform::clock::Join(thread_);
}

PDEVICE_OBJECT World::Plug(std::shared_ptr<usbdevice::Device> device) {
  PDEVICE_OBJECT pdo = nullptr;
  Call([&] { pdo = bus_->Pdo(bus_->Plug(std::move(device))); });
  return pdo;
}

void World::Detach(PDEVICE_OBJECT pdo) {
  Call([&] { bus_->Unplug(platform::usb::StateOf(pdo).port); });
}

void World::Unplug(PDEVICE_OBJECT pdo) {
  Call([&] {
    ULONG port = platform::usb::StateOf(pdo).port;
    bus_->Forget(port);
  });
}

}  // namespace sim::world
