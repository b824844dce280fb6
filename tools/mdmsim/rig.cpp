#include "tools/mdmsim/rig.h"

#include "driver/core/devext.h"
#include "platform/wdm/pnp.h"

namespace mdmsim {
namespace {
namespace pnp = platform::wdm::pnp;
}  // namespace

std::string ComNameFor(int index) {
  return "COM" + std::to_string(3 + index);
}

std::u16string SerialFor(int index) {
  std::string text = "0000A1B2C3D" + std::to_string(4 + index);
  return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t unit : text) narrow += static_cast<char>(unit & 0xFF);
  return narrow;
}

DriverRig::DriverRig(sim::world::World& world) : world_(world) {
  loadStatus_ = pnp::LoadDriver(DriverEntry, "mdmcore", &driver_);
}

DriverRig::~DriverRig() {
  Shutdown();
}

RiggedModem* DriverRig::AddModem(const std::string& comName,
                                 const sim::usbdevice::ModemIdentity& identity,
                                 sim::modem::Behaviour behaviour,
                                 const std::function<void()>& beforeAdd) {
  if (driver_ == nullptr) return nullptr;
  auto modem = std::make_unique<RiggedModem>();
  modem->comName = comName;
  modem->device = std::make_shared<sim::usbdevice::UsbModem>(identity, std::move(behaviour));
  modem->pdo = world_.Plug(modem->device);
  if (beforeAdd) world_.Call(beforeAdd);
  if (!NT_SUCCESS(pnp::AddDevice(driver_, modem->pdo))) {
    world_.Unplug(modem->pdo);
    return nullptr;
  }
  modem->fdo = modem->pdo->AttachedDevice;
  if (!NT_SUCCESS(pnp::StartDevice(modem->pdo))) {
    pnp::RemoveDevice(modem->pdo);
    world_.Unplug(modem->pdo);
    return nullptr;
  }
  modem->port =
      sim::portdrv::ModemPort::Create(world_.processor(), comName, Narrow(identity.serial));
  modems_.push_back(std::move(modem));
  return modems_.back().get();
}

NTSTATUS DriverRig::PullOut(RiggedModem& modem) {
  if (modem.removed) return STATUS_SUCCESS;
  world_.Detach(modem.pdo);
  modem.removed = true;
  return pnp::SurpriseRemoveDevice(modem.pdo);
}

RiggedModem* DriverRig::Find(const std::string& comName) {
  for (auto& modem : modems_) {
    if (modem->comName == comName) return modem.get();
  }
  return nullptr;
}

NTSTATUS DriverRig::Shutdown(const std::function<void(RiggedModem&)>& beforeStop) {
  NTSTATUS first = STATUS_SUCCESS;
  auto note = [&first](NTSTATUS status) {
    if (NT_SUCCESS(first) && !NT_SUCCESS(status)) first = status;
  };
  for (auto& modem : modems_) {
    modem->port.reset();
    if (!modem->removed) {
      if (beforeStop) world_.Call([&] { beforeStop(*modem); });
      note(pnp::StopDevice(modem->pdo));
      note(pnp::RemoveDevice(modem->pdo));
    }
    world_.Unplug(modem->pdo);
  }
  modems_.clear();
  if (driver_ != nullptr) pnp::UnloadDriver(driver_);
  driver_ = nullptr;
  return first;
}

}  // namespace mdmsim
