// Timers and deferred procedure calls on the processor, in the clock's time.
#include <map>
#include <mutex>
#include <string>

#include "platform/wdm/kernel.h"
#include "platform/wdm/processor.h"
#include "platform/wdm/verifier.h"

namespace {

using platform::wdm::Processor;
using platform::wdm::verifier::Report;
namespace kernel = platform::wdm::kernel;

constexpr UCHAR kTimerNotificationObject = 8;

// Armed timers and queued DPCs with the processor's work that will fire them, and the device
// each DPC works for (the one in whose name it was initialised).
struct Table {
  std::mutex mutex;
  std::map<PKTIMER, Processor::WorkId> armed;
  std::map<PKDPC, Processor::WorkId> queued;
  std::map<PKDPC, DEVICE_OBJECT*> owners;
};

Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

Processor* NeedProcessor(const char* call) {
  Processor* processor = platform::wdm::CurrentProcessor();
  if (processor == nullptr) Report(std::string(call) + " with no processor running");
  return processor;
}

void RunDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
  DEVICE_OBJECT* owner = nullptr;
  {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    if (auto it = table.owners.find(dpc); it != table.owners.end()) owner = it->second;
  }
  kernel::ContextScope context(owner);
  kernel::IrqlScope irql(DISPATCH_LEVEL);
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, argument2);
}

void Expire(PKTIMER timer) {
  {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.armed.erase(timer);
  }
  {
    platform::clock::Clock& clock = platform::clock::Current();
    platform::clock::Lock lock(clock.Mutex());
    timer->Header.SignalState = 1;
    clock.Notify();
  }
  if (timer->Dpc != nullptr) {
    auto low = static_cast<ULONG_PTR>(static_cast<ULONG>(timer->DueTime.QuadPart));
    auto high = static_cast<ULONG_PTR>(static_cast<ULONG>(timer->DueTime.QuadPart >> 32));
    RunDpc(timer->Dpc, reinterpret_cast<PVOID>(low), reinterpret_cast<PVOID>(high));
  }
}

}  // namespace

void KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  *dpc = KDPC{};
  dpc->Type = 0x13;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  table.owners[dpc] = kernel::Current().device;
}

BOOLEAN KeInsertQueueDpc(PKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
  Processor* processor = NeedProcessor("KeInsertQueueDpc");
  if (processor == nullptr) return FALSE;
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  if (table.queued.count(dpc) != 0) return FALSE;
  dpc->SystemArgument1 = systemArgument1;
  dpc->SystemArgument2 = systemArgument2;
  table.queued[dpc] = processor->Post([dpc] {
    {
      Table& table = TheTable();
      std::lock_guard lock(table.mutex);
      table.queued.erase(dpc);
    }
    RunDpc(dpc, dpc->SystemArgument1, dpc->SystemArgument2);
  });
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC dpc) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  auto it = table.queued.find(dpc);
  if (it == table.queued.end()) return FALSE;
  if (Processor* processor = platform::wdm::CurrentProcessor()) processor->Cancel(it->second);
  table.queued.erase(it);
  return TRUE;
}

void KeInitializeTimer(PKTIMER timer) {
  *timer = KTIMER{};
  timer->Header.Type = kTimerNotificationObject;
  timer->Header.Size = sizeof(KTIMER);
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  Processor* processor = NeedProcessor("KeSetTimer");
  if (processor == nullptr) return FALSE;
  BOOLEAN wasArmed = KeCancelTimer(timer);
  platform::clock::Time due = kernel::DueTime(dueTime);
  timer->DueTime.QuadPart = due.count() / 100;
  timer->Dpc = dpc;
  timer->Header.SignalState = 0;
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  table.armed[timer] = processor->Schedule(due, [timer] { Expire(timer); });
  return wasArmed;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  auto it = table.armed.find(timer);
  if (it == table.armed.end()) return FALSE;
  if (Processor* processor = platform::wdm::CurrentProcessor()) processor->Cancel(it->second);
  table.armed.erase(it);
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  platform::clock::Clock& clock = platform::clock::Current();
  platform::clock::Lock lock(clock.Mutex());
  return timer->Header.SignalState != 0 ? TRUE : FALSE;
}

namespace platform::wdm::kernel {

void DropTimersIn(const void* base, std::size_t size, const char* when) {
  auto inside = [base, size](const void* p) {
    auto* b = static_cast<const char*>(base);
    auto* q = static_cast<const char*>(p);
    return q >= b && q < b + size;
  };
  std::string found;
  Processor* processor = CurrentProcessor();
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  for (auto it = table.armed.begin(); it != table.armed.end();) {
    if (!inside(it->first)) {
      ++it;
      continue;
    }
    if (processor != nullptr) processor->Cancel(it->second);
    found += " a timer still armed;";
    it = table.armed.erase(it);
  }
  for (auto it = table.queued.begin(); it != table.queued.end();) {
    if (!inside(it->first)) {
      ++it;
      continue;
    }
    if (processor != nullptr) processor->Cancel(it->second);
    found += " a DPC still queued;";
    it = table.queued.erase(it);
  }
  std::erase_if(table.owners, [&](const auto& entry) { return inside(entry.first); });
  if (!found.empty()) {
    found.pop_back();
    Report(std::string(when) + " memory that holds" + found);
  }
}

}  // namespace platform::wdm::kernel
