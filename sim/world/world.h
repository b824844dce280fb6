// The simulated world: one thread (the kernel's processor) that owns everything on the kernel
// side (the host controller with its devices, the driver, timers and DPCs) and runs it one item
// at a time in the clock's time. Threads outside the world reach it only through Call, which
// hands the work to the world thread and waits for it.
//
// Make a World after the clock is installed, on a thread the clock knows, and destroy it before
// either goes away.
#pragma once

#include <functional>
#include <memory>

#include "platform/clock/clock.h"
#include "platform/wdm/processor.h"
#include "sim/hostctl/host_controller.h"
#include "sim/usbdevice/device.h"

namespace sim::world {

class World {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  platform::wdm::Processor& processor() { return processor_; }
  hostctl::HostController& bus() { return *bus_; }

  // Runs fn on the world thread and returns when it has run (at once when called there).
  void Call(const std::function<void()>& fn) { processor_.Call(fn); }

  // Attaches a device to the bus and returns its physical device object.
  PDEVICE_OBJECT Plug(std::shared_ptr<usbdevice::Device> device);
  // The device leaves the bus while its driver still has it (surprise removal): its transfers
  // fail from now on.
  void Detach(PDEVICE_OBJECT pdo);
  // The device leaves the bus and its physical device object is deleted; nothing may be attached
  // to it any more.
  void Unplug(PDEVICE_OBJECT pdo);

 private:
  platform::wdm::Processor processor_;
  std::unique_ptr<hostctl::HostController> bus_;
  platform::clock::SpawnedThread thread_;
};

}  // namespace sim::world
