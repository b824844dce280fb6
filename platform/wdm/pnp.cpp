// The Plug and Play manager: drivers, AddDevice, and the requests it sends and waits for.
#include "platform/wdm/pnp.h"

#include <map>
#include <memory>
#include <string>

#include "platform/wdm/kernel.h"
#include "platform/wdm/processor.h"
#include "platform/wdm/verifier.h"

namespace platform::wdm::pnp {
namespace {

using verifier::Report;

struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string name;
  std::u16string registryPath;
};

NTSTATUS RefuseRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

UNICODE_STRING Unicode(std::u16string& text) {
  auto bytes = static_cast<USHORT>(text.size() * sizeof(char16_t));
  return UNICODE_STRING{bytes, bytes, text.data()};
}

std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>>& Records() {
  static auto* records = new std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>>;
  return *records;
}

DriverRecord* RecordOf(PDRIVER_OBJECT driver) {
  auto it = Records().find(driver);
  return it == Records().end() ? nullptr : it->second.get();
}

// Runs fn on the processor, from whichever thread.
template <class Fn>
auto OnProcessor(Fn fn) -> decltype(fn()) {
  Processor* processor = CurrentProcessor();
  if (processor == nullptr) {
    Report("a Plug and Play or power request with no processor running");
    return decltype(fn()){};
  }
  if (processor->OnProcessor()) return fn();
  decltype(fn()) result{};
  processor->Call([&] { result = fn(); });
  return result;
}

// Hands the request to the top of the stack and waits until it has completed to the top.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, PIRP irp, bool& done, NTSTATUS& final,
                     const std::string& what) {
  NTSTATUS returned;
  {
    kernel::ContextScope context(nullptr, nullptr);
    returned = IofCallDriver(top, irp);
  }
  if (returned != STATUS_PENDING && !kernel::IrpFinished(irp)) {
    Report(what +
           ": the dispatch routine returned without completing the request and without "
           "returning STATUS_PENDING");
  }
  const std::function<bool()> finished = [&done] { return done; };
  CurrentProcessor()->RunUntil(finished, clock::Current().Now() + kCompletionLimit, what);
  if (!done) {
    Report(what + ": the request was never completed");
    kernel::AbandonManagerIrp(irp);
    return STATUS_UNSUCCESSFUL;
  }
  if (returned != STATUS_PENDING && returned != final) {
    Report(what + ": the dispatch routine returned a status other than the one it completed with");
  }
  kernel::FreeManagerIrp(irp);
  return final;
}

PIRP MakeRequest(PDEVICE_OBJECT top, bool& done, NTSTATUS& final) {
  return kernel::AllocateManagerIrp(top->StackSize, [&done, &final](PIRP irp) {
    clock::Clock& clock = clock::Current();
    clock::Lock lock(clock.Mutex());
    final = irp->IoStatus.Status;
    done = true;
    clock.Notify();
  });
}

NTSTATUS SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minor) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(physicalDevice);
  bool done = false;
  NTSTATUS final = STATUS_NOT_SUPPORTED;
  PIRP irp = MakeRequest(top, done, final);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  return SendAndWait(top, irp, done, final, MinorName(minor));
}

// A query, then the request it asked about, or its cancellation when it was refused.
NTSTATUS QueryThen(PDEVICE_OBJECT physicalDevice, UCHAR query, UCHAR act, UCHAR cancel) {
  NTSTATUS status = SendPnp(physicalDevice, query);
  if (!NT_SUCCESS(status)) {
    SendPnp(physicalDevice, cancel);
    return status;
  }
  return SendPnp(physicalDevice, act);
}

}  // namespace

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE:
      return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE:
      return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE:
      return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
      return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES:
      return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL:
      return "IRP_MN_SURPRISE_REMOVAL";
    default:
      return "IRP_MN_(other)";
  }
}

PDRIVER_OBJECT CreateDriverObject(const char* name) {
  auto owned = std::make_unique<DriverRecord>();
  DriverRecord* record = owned.get();
  Records()[&record->object] = std::move(owned);
  for (const char* c = name; *c != '\0'; ++c) record->name += static_cast<char16_t>(*c);
  record->registryPath =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + record->name;
  DRIVER_OBJECT& driver = record->object;
  driver.Type = 4;
  driver.Size = sizeof(DRIVER_OBJECT);
  record->extension.DriverObject = &driver;
  driver.DriverExtension = &record->extension;
  driver.DriverName = Unicode(record->name);
  for (PDRIVER_DISPATCH& dispatch : driver.MajorFunction) dispatch = RefuseRequest;
  return &driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  Records().erase(driver);
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char* name, PDRIVER_OBJECT* driver) {
  PDRIVER_OBJECT object = CreateDriverObject(name);
  object->DriverInit = entry;
  UNICODE_STRING path = Unicode(RecordOf(object)->registryPath);
  NTSTATUS status = OnProcessor([&] {
    kernel::ContextScope context(object, nullptr);
    return entry(object, &path);
  });
  if (!NT_SUCCESS(status)) {
    kernel::CheckDriverLeftovers(object);
    DeleteDriverObject(object);
    object = nullptr;
  }
  *driver = object;
  return status;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DeviceObject != nullptr) Report("the driver is unloaded while it still has devices");
  OnProcessor([&] {
    kernel::ContextScope context(driver, nullptr);
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    return 0;
  });
  kernel::CheckDriverLeftovers(driver);
  DeleteDriverObject(driver);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  return OnProcessor([&] {
    PDEVICE_OBJECT before = IoGetAttachedDevice(physicalDevice);
    NTSTATUS status;
    {
      kernel::ContextScope context(driver, nullptr);
      status = driver->DriverExtension->AddDevice(driver, physicalDevice);
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(physicalDevice);
    if (NT_SUCCESS(status) && top != before && (top->Flags & DO_DEVICE_INITIALIZING) != 0) {
      Report("AddDevice left DO_DEVICE_INITIALIZING set on its device");
    }
    return status;
  });
}

NTSTATUS Send(PDEVICE_OBJECT physicalDevice, UCHAR minor) {
  return OnProcessor([&] { return SendPnp(physicalDevice, minor); });
}

NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice) {
  return Send(physicalDevice, IRP_MN_START_DEVICE);
}

NTSTATUS StopDevice(PDEVICE_OBJECT physicalDevice) {
  return OnProcessor([&] {
    return QueryThen(physicalDevice, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                     IRP_MN_CANCEL_STOP_DEVICE);
  });
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice) {
  return OnProcessor([&] {
    return QueryThen(physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE,
                     IRP_MN_CANCEL_REMOVE_DEVICE);
  });
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice) {
  return OnProcessor([&] {
    SendPnp(physicalDevice, IRP_MN_SURPRISE_REMOVAL);
    return SendPnp(physicalDevice, IRP_MN_REMOVE_DEVICE);
  });
}

NTSTATUS SendPower(PDEVICE_OBJECT physicalDevice, UCHAR minor, POWER_STATE_TYPE type,
                   POWER_STATE state) {
  return OnProcessor([&] {
    PDEVICE_OBJECT top = IoGetAttachedDevice(physicalDevice);
    bool done = false;
    NTSTATUS final = STATUS_NOT_SUPPORTED;
    PIRP irp = MakeRequest(top, done, final);
    kernel::PreparePowerRequest(irp, minor, type, state);
    return SendAndWait(top, irp, done, final, "power request");
  });
}

}  // namespace platform::wdm::pnp

namespace platform::wdm::kernel {

void PreparePowerRequest(PIRP irp, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
  }
}

void CheckDriverLeftovers(const DRIVER_OBJECT* driver) {
  std::string list;
  std::size_t blocks = PoolBlocksOf(nullptr, &list);
  if (blocks != 0) {
    verifier::Report("the driver left " + std::to_string(blocks) +
                     " pool block(s) allocated at unload:" + list);
  }
  std::string requests;
  std::size_t count = RequestsOf(driver, nullptr, &requests);
  if (count != 0) {
    verifier::Report("the driver left " + std::to_string(count) +
                     " request(s) allocated at unload:" + requests);
  }
}

}  // namespace platform::wdm::kernel

// ---- Power manager ---------------------------------------------------------------------------

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irpOut) {
  namespace wdm = platform::wdm;
  wdm::Processor* processor = wdm::CurrentProcessor();
  if (processor == nullptr) {
    wdm::verifier::Report("PoRequestPowerIrp with no processor running");
    return STATUS_UNSUCCESSFUL;
  }
  if (wdm::kernel::AllocationFails(wdm::pool::kRequest)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = IoGetAttachedDevice(deviceObject);
  PIRP irp = wdm::kernel::AllocateManagerIrp(top->StackSize, [=](PIRP irp) {
    IO_STATUS_BLOCK status = irp->IoStatus;
    if (completion != nullptr) {
      wdm::kernel::ContextScope scope(nullptr, nullptr);
      completion(deviceObject, minorFunction, powerState, context, &status);
    }
    // Freed after the completion has returned, never from inside it.
    processor->Post([irp] { wdm::kernel::FreeManagerIrp(irp); });
  });
  wdm::kernel::PreparePowerRequest(irp, minorFunction, DevicePowerState, powerState);
  if (irpOut != nullptr) *irpOut = irp;
  processor->Post([top, irp] {
    wdm::kernel::ContextScope scope(nullptr, nullptr);
    IofCallDriver(top, irp);
  });
  return STATUS_PENDING;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return IofCallDriver(deviceObject, irp);
}

void PoStartNextPowerIrp(PIRP) {}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE state) {
  return state;
}
