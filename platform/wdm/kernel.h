// What the parts of the kernel stand-in share among themselves; not for drivers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock/clock.h"
#include "platform/wdm/pool.h"
#include "platform/wdm/wdm.h"

namespace platform::wdm::kernel {

// On whose behalf the processor runs now: set while a driver's entry, unload or AddDevice runs,
// while a dispatch routine or completion routine of a device runs, and while a DPC runs (the
// device that initialised it). Pool blocks and request packets are charged to it.
struct Context {
  DRIVER_OBJECT* driver = nullptr;
  DEVICE_OBJECT* device = nullptr;
};
Context& Current();

class ContextScope {
 public:
  ContextScope(DRIVER_OBJECT* driver, DEVICE_OBJECT* device);
  explicit ContextScope(DEVICE_OBJECT* device);
  ~ContextScope();
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  Context saved_;
};

// Runs at the given level for the lifetime of the scope.
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL level);
  ~IrqlScope();
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL saved_;
};

// Whether the next allocation of this kind is the one a test asked to fail (counts it).
bool AllocationFails(pool::Kind kind);

// Time conversions: the platform counts 100 ns units.
clock::Time DueTime(LARGE_INTEGER due);  // relative (negative) or absolute
LONGLONG Now100ns();

// Request packets made by the managers: completed to the top, they call onComplete, and the
// manager frees them with FreeManagerIrp.
PIRP AllocateManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onComplete);
void FreeManagerIrp(PIRP irp);
// The manager no longer waits: should the request still complete, it is freed at the top.
void AbandonManagerIrp(PIRP irp);
// Whether the request has completed to the top (managers' requests).
bool IrpFinished(PIRP irp);

// Checks at IoDeleteDevice and unload.
void CheckDeviceLeftovers(const DEVICE_OBJECT* device, const char* when);
void CheckDriverLeftovers(const DRIVER_OBJECT* driver);

// Fills the next stack location of a power request the managers make (and its preset status):
// a wait-wake names the system state, every other minor code the state type and state.
void PreparePowerRequest(PIRP irp, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
// Timers and DPCs still armed or queued inside [base, base + size): reported and dropped, so
// the processor never runs code on freed memory.
void DropTimersIn(const void* base, std::size_t size, const char* when);
// Pool blocks charged to the device are moved to its driver (the device object is going).
void ForgetPoolDevice(const DEVICE_OBJECT* device);
std::size_t PoolBlocksOf(const DEVICE_OBJECT* device, std::string* list);
std::size_t RequestsOf(const DRIVER_OBJECT* driver, const DEVICE_OBJECT* device, std::string* list);
// Requests of any origin, the managers' too, that a driver has taken and not completed.
std::size_t RequestsWithDrivers();

}  // namespace platform::wdm::kernel
