// A test of the driver (or of its platform) in a simulated world: a fresh platform root with its
// registry, the virtual-device layer as the system starts, virtual time, the world thread with
// the bus, and the verifier's violations collected and checked at the end.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "driver/core/devext.h"
#include "platform/base/root.h"
#include "platform/vxd/vmm.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/verifier.h"
#include "sim/usbdevice/modem.h"
#include "sim/world/world.h"
#include "tests/support/virtual_time.h"

namespace driver_test {

namespace pnp = platform::wdm::pnp;
namespace pool = platform::wdm::pool;
using sim::usbdevice::ModemIdentity;

class DriverTest : public ::testing::Test {
 public:
  void SetUp() override {
    root_.emplace("mdm-driver-");
    ASSERT_FALSE(root_->path().empty());
    platform::vxd::ResetSystem();
    pool::FailNth(0);
    time_.emplace();
    world_.emplace();
  }

  void TearDown() override {
    if (driver_ != nullptr) Unload();
    world_.reset();
    time_.reset();
    pool::FailNth(0);
    std::string all;
    for (const std::string& violation : recorder_.Violations()) all += violation + "\n";
    EXPECT_TRUE(all.empty() || expectViolations_) << "driver verifier:\n" << all;
    root_.reset();
  }

  sim::world::World& world() { return *world_; }

  NTSTATUS Load() {
    NTSTATUS status = pnp::LoadDriver(DriverEntry, "mdmcore", &driver_);
    return status;
  }

  // Unloads the driver and expects nothing left in the pool.
  void Unload() {
    pnp::UnloadDriver(driver_);
    driver_ = nullptr;
    EXPECT_EQ(pool::FormatReport(pool::Outstanding()), "pool: no block outstanding\n");
  }

  PDEVICE_OBJECT Plug(std::shared_ptr<sim::usbdevice::Device> device) {
    return world().Plug(std::move(device));
  }
  PDEVICE_OBJECT PlugModem(const ModemIdentity& identity = {}) {
    return Plug(std::make_shared<sim::usbdevice::UsbModem>(identity));
  }

  // Adds the driver's device on top of pdo and returns it.
  PDEVICE_OBJECT Add(PDEVICE_OBJECT pdo) {
    EXPECT_EQ(pnp::AddDevice(driver_, pdo), STATUS_SUCCESS);
    return pdo->AttachedDevice;
  }

  static DEVICE_EXTENSION* Ext(PDEVICE_OBJECT fdo) { return Extension(fdo); }

  // Removes the device from the system and takes it off the bus.
  void RemoveAndUnplug(PDEVICE_OBJECT pdo) {
    EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
    world().Unplug(pdo);
  }

  // Sends a request of the given kind to the device and returns the status it completed with.
  NTSTATUS SendMajor(PDEVICE_OBJECT device, UCHAR major);

  platform::wdm::verifier::Recorder recorder_;
  bool expectViolations_ = false;
  PDRIVER_OBJECT driver_ = nullptr;

 private:
  std::optional<platform::TemporaryRoot> root_;
  std::optional<testing_support::VirtualTime> time_;
  std::optional<sim::world::World> world_;
};

}  // namespace driver_test
