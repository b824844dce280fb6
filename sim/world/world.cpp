#include "sim/world/world.h"

#include "platform/usb/pdo.h"

namespace sim::world {

World::World() : bus_(std::make_unique<hostctl::HostController>(processor_)) {
  thread_ = platform::clock::Spawn("world", [this] { processor_.Run(); });
  // The processor is the kernel's only once its thread runs it (a moment of wall time; the
  // clock cannot move meanwhile, since this thread is not blocked).
  while (platform::wdm::CurrentProcessor() != &processor_) std::this_thread::yield();
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
