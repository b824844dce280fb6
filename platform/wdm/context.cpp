// Who the processor works for, the interrupt request level, and time in the platform's units.
#include <string>

#include "platform/clock/per_thread.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/verifier.h"

namespace platform::wdm::kernel {
namespace {

const clock::PerThread<Context> tContext;
const clock::PerThread<KIRQL> tIrql{PASSIVE_LEVEL};

}  // namespace

Context& Current() {
  return *tContext;
}

ContextScope::ContextScope(DRIVER_OBJECT* driver, DEVICE_OBJECT* device) : saved_(*tContext) {
  *tContext = Context{driver, device};
}

ContextScope::ContextScope(DEVICE_OBJECT* device)
    : ContextScope(device != nullptr ? device->DriverObject : nullptr, device) {}

ContextScope::~ContextScope() {
  *tContext = saved_;
}

IrqlScope::IrqlScope(KIRQL level) : saved_(*tIrql) {
  if (level > *tIrql) *tIrql = level;
}

IrqlScope::~IrqlScope() {
  *tIrql = saved_;
}

clock::Time DueTime(LARGE_INTEGER due) {
  if (due.QuadPart < 0)
    return clock::Current().Now() + std::chrono::nanoseconds(-due.QuadPart * 100);
  return clock::Time(due.QuadPart * 100);
}

LONGLONG Now100ns() {
  return clock::Current().Now().count() / 100;
}

}  // namespace platform::wdm::kernel

using platform::wdm::verifier::Report;

KIRQL KeGetCurrentIrql() {
  return *platform::wdm::kernel::tIrql;
}

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  KIRQL current = *platform::wdm::kernel::tIrql;
  if (newIrql < current) {
    Report("KeRaiseIrql to " + std::to_string(newIrql) + " from the higher IRQL " +
           std::to_string(current));
  }
  *oldIrql = current;
  *platform::wdm::kernel::tIrql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
  KIRQL current = *platform::wdm::kernel::tIrql;
  if (newIrql > current) {
    Report("KeLowerIrql to " + std::to_string(newIrql) + " from the lower IRQL " +
           std::to_string(current));
  }
  *platform::wdm::kernel::tIrql = newIrql;
}

void KeQuerySystemTime(PLARGE_INTEGER time) {
  time->QuadPart = platform::wdm::kernel::Now100ns();
}
