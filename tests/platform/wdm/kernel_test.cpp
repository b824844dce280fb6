// The kernel stand-in: completion, cancellation, waits, timers and DPCs in virtual time, the
// pool, and the verifier's rules, each provoked on purpose.
#include <string>
#include <vector>

#include "platform/vxd/flat.h"
#include "platform/wdm/debug.h"
#include "platform/wdm/kernel.h"
#include "platform/wdm/processor.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {
namespace {

namespace clock = platform::clock;

// A little driver of the test's own, with a device whose dispatch the test chooses.
class KernelTest : public DriverTest {
 public:
  void SetUp() override {
    DriverTest::SetUp();
    driver = pnp::CreateDriverObject("kernel-test");
    world().Call([&] {
      ASSERT_EQ(IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
                STATUS_SUCCESS);
      ASSERT_EQ(IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper),
                STATUS_SUCCESS);
      IoAttachDeviceToDeviceStack(upper, lower);
    });
  }
  void TearDown() override {
    world().Call([&] {
      IoDetachDevice(lower);
      IoDeleteDevice(upper);
      IoDeleteDevice(lower);
    });
    pnp::DeleteDriverObject(driver);
    DriverTest::TearDown();
  }

  std::vector<std::string> Violations() { return recorder_.Violations(); }
  bool Saw(const std::string& part) {
    for (const std::string& violation : Violations()) {
      if (violation.find(part) != std::string::npos) return true;
    }
    return false;
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
};

std::vector<std::string> gTrace;

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS Traced(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  gTrace.push_back(static_cast<const char*>(context));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS Keep(PDEVICE_OBJECT, PIRP, PVOID context) {
  if (context != nullptr) KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(KernelTest, CompletionRoutinesRunBottomUpAndMoreProcessingStopsThem) {
  world().Call([&] {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(upper->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);  // the test's own location, as a driver allocating one does
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Keep, &done, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    gTrace.clear();
    // The upper device passes the request on with a completion routine; the lower completes it.
    driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      if (device->DeviceObjectExtension->AttachedTo == nullptr) return CompleteAtOnce(device, irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Traced, const_cast<char*>("upper"), TRUE, TRUE, TRUE);
      return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
    };
    EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(gTrace, std::vector<std::string>{"upper"});
    IoFreeIrp(irp);
  });
  EXPECT_TRUE(Violations().empty());
}

PIRP gParked = nullptr;

TEST_F(KernelTest, APendedRequestReportsPendingReturnedToEachCompletionRoutine) {
  world().Call([&] {
    // The lower device parks the request; the upper passes it on with a routine.
    driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      if (device->DeviceObjectExtension->AttachedTo == nullptr) {
        IoMarkIrpPending(irp);
        gParked = irp;
        return STATUS_PENDING;
      }
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
            gTrace.push_back(irp->PendingReturned ? "pending" : "not pending");
            if (irp->PendingReturned) IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
          },
          nullptr, TRUE, TRUE, TRUE);
      return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
    };
    gTrace.clear();
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Keep, &done, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    EXPECT_EQ(IofCallDriver(upper, irp), STATUS_PENDING);
    world().processor().Schedule(clock::Current().Now() + clock::Milliseconds(5), [] {
      gParked->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(gParked, IO_NO_INCREMENT);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(irp->PendingReturned);
    EXPECT_EQ(gTrace, std::vector<std::string>{"pending"});
    IoFreeIrp(irp);
  });
}

TEST_F(KernelTest, BuiltRequestsCompleteThroughTheirEventAndAreFreed) {
  world().Call([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    status.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    ASSERT_NE(irp, nullptr);
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteAtOnce;
    IofCallDriver(lower, irp);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
  });
  EXPECT_EQ(pool::Outstanding().requests, 0u);
}

// The verifier's rules, one case each: every case provokes its rule on purpose and expects the
// violation to be recorded.
class VerifierRuleTest : public KernelTest {
 public:
  void SetUp() override {
    KernelTest::SetUp();
    expectViolations_ = true;
  }
};

TEST_F(VerifierRuleTest, ARequestCompletedTwice) {
  world().Call([&] {
    driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    IofCallDriver(lower, irp);
    EXPECT_TRUE(Saw("completed twice"));
    IoFreeIrp(irp);
  });
}

// A request freed while the lower driver holds it (pended and never completed), then given back
// and freed twice.
TEST_F(VerifierRuleTest, ARequestFreedWhileALowerDriverOwnsItAndFreedTwice) {
  world().Call([&] {
    driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      IoMarkIrpPending(irp);
      return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    IofCallDriver(lower, irp);
    IoFreeIrp(irp);
    EXPECT_TRUE(Saw("a lower driver still owns"));
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);  // give it back, then free it for real
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_TRUE(Saw("freed twice"));
  });
}

TEST_F(VerifierRuleTest, AnAllocatedRequestCompletedToTheTopWithNobodyKeepingIt) {
  world().Call([&] {
    driver->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    IofCallDriver(lower, irp);
    EXPECT_TRUE(Saw("without a completion routine that keeps it"));
    IoFreeIrp(irp);
  });
}

TEST_F(VerifierRuleTest, ABlockingWaitInACompletionRoutine) {
  world().Call([&] {
    driver->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
          KEVENT never;
          KeInitializeEvent(&never, NotificationEvent, FALSE);
          KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);
    EXPECT_TRUE(Saw("DISPATCH_LEVEL"));
    IoFreeIrp(irp);
  });
}

TEST_F(VerifierRuleTest, APoolBlockFreedWithTheWrongTagAndFreedTwice) {
  world().Call([&] {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 'A' | 'B' << 8 | 'C' << 16 | 'D' << 24);
    ExFreePoolWithTag(block, kPoolTag);
    EXPECT_TRUE(Saw("ExFreePoolWithTag with tag \"Wdm \" frees block"));
    ExFreePool(block);
    EXPECT_TRUE(Saw("not allocated (freed twice"));
  });
}

TEST_F(VerifierRuleTest, ATimerStillArmedInAFreedBlock) {
  world().Call([&] {
    auto* timer =
        static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kPoolTag));
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimer(timer, due, nullptr);
    ExFreePool(timer);
    EXPECT_TRUE(Saw("a timer still armed"));
  });
}

TEST_F(VerifierRuleTest, AFastMutexTakenTwiceByOneThread) {
  world().Call([&] {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_TRUE(Saw("already holds"));
    ExReleaseFastMutex(&mutex);
  });
}

PVOID gLeftover = nullptr;

TEST_F(KernelTest, DeviceLeftoversAreReportedWhenItIsDeleted) {
  expectViolations_ = true;
  world().Call([&] {
    // The block is charged to the device because its dispatch routine allocates it.
    driver->MajorFunction[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      gLeftover = ExAllocatePoolWithTag(NonPagedPool, 8, kPoolTag);
      return CompleteAtOnce(nullptr, irp);
    };
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
    IofCallDriver(device, irp);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
    EXPECT_TRUE(Saw("1 pool block(s) allocated for the device are still outstanding"));
    ExFreePool(gLeftover);
  });
}

TEST_F(KernelTest, ARequestThatIsNeverCompletedIsReported) {
  expectViolations_ = true;
  driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP) -> NTSTATUS {
    return STATUS_SUCCESS;  // neither completed nor pending
  };
  pnp::Send(lower, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_TRUE(Saw("without completing the request"));
  EXPECT_TRUE(Saw("never completed"));
  recorder_.Clear();
  // A completion routine keeps the request and its driver then forgets it.
  driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo;
    if (below == nullptr) return CompleteAtOnce(device, irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(below, irp);
    return STATUS_PENDING;
  };
  pnp::Send(lower, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_TRUE(Saw("never completed"));
  EXPECT_FALSE(Saw("without completing"));
}

// A power request the driver pends and forgets is a request never completed that the unload's
// check of the driver's own requests does not see: the count of requests with drivers does,
// until the request is completed.
TEST_F(KernelTest, APendedPowerRequestCountsAsWithADriverUntilItIsCompleted) {
  static PIRP pended = nullptr;
  driver->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    pended = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  std::size_t before = platform::wdm::kernel::RequestsWithDrivers();
  world().Call([&] {
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD2;
    EXPECT_EQ(PoRequestPowerIrp(lower, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr),
              STATUS_PENDING);
  });
  clock::SleepFor(clock::Milliseconds(10));
  ASSERT_NE(pended, nullptr);
  EXPECT_EQ(platform::wdm::kernel::RequestsWithDrivers(), before + 1);
  EXPECT_EQ(platform::wdm::kernel::RequestsOf(driver, nullptr, nullptr), 0u);
  world().Call([&] {
    pended->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(pended, IO_NO_INCREMENT);
  });
  clock::SleepFor(clock::Milliseconds(10));
  EXPECT_EQ(platform::wdm::kernel::RequestsWithDrivers(), before);
}

TEST_F(KernelTest, TimersFireInVirtualTimeAndRearmingReplaces) {
  struct Timer {
    KTIMER timer;
    KDPC dpc;
    std::vector<std::int64_t> fired;
    KIRQL irql = PASSIVE_LEVEL;
  };
  Timer storage{};
  Timer* t = &storage;
  world().Call([&] {
    KeInitializeTimer(&t->timer);
    KeInitializeDpc(
        &t->dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
          auto* t = static_cast<Timer*>(context);
          t->irql = KeGetCurrentIrql();
          t->fired.push_back(clock::Current().Now().count() / 1000000);
        },
        t);
    LARGE_INTEGER due;
    due.QuadPart = -100 * 10000;  // 100 ms
    EXPECT_FALSE(KeSetTimer(&t->timer, due, &t->dpc));
    due.QuadPart = -20 * 10000;
    EXPECT_TRUE(KeSetTimer(&t->timer, due, &t->dpc));  // replaces: fires at 20 ms only
  });
  clock::SleepFor(clock::Milliseconds(200));
  EXPECT_EQ(storage.fired, std::vector<std::int64_t>{20});
  EXPECT_EQ(storage.irql, DISPATCH_LEVEL);
  world().Call([&] {
    EXPECT_FALSE(KeCancelTimer(&t->timer));
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    KeSetTimer(&t->timer, due, &t->dpc);
    EXPECT_TRUE(KeCancelTimer(&t->timer));
  });
  clock::SleepFor(clock::Milliseconds(50));
  EXPECT_EQ(storage.fired.size(), 1u);
}

TEST_F(KernelTest, APassiveWaitLetsTheProcessorRunOtherWork) {
  world().Call([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    world().processor().Schedule(clock::Current().Now() + clock::Milliseconds(50),
                                 [&] { KeSetEvent(&event, 0, FALSE); });
    clock::Time before = clock::Current().Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(clock::Current().Now() - before, clock::Milliseconds(50));
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -30 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
  });
}

TEST_F(KernelTest, CancelCallsTheCancelRoutineUnderTheCancelLock) {
  static bool called = false;
  called = false;
  world().Call([&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
      called = KeGetCurrentIrql() == DISPATCH_LEVEL;
      IoReleaseCancelSpinLock(irp->CancelIrql);
    });
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
  });
  EXPECT_TRUE(called);
}

TEST_F(KernelTest, PoolBlocksAreTaggedFlatAndFailOnRequest) {
  world().Call([&] {
    auto* block = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPool, 24, kPoolTag));
    EXPECT_EQ(block[0], 0xCD);  // not zeroed
    DWORD flat = platform::vxd::ToFlat(block + 8);
    EXPECT_EQ(platform::vxd::FromFlat(flat, 16), block + 8);
    EXPECT_EQ(platform::vxd::FromFlat(flat, 17), nullptr);  // past the block
    pool::Report report = pool::Outstanding();
    ASSERT_EQ(report.tags.size(), 1u);
    EXPECT_EQ(report.tags[0].bytes, 24u);
    EXPECT_NE(pool::FormatReport(report).find("tag \"Wdm \": 1 block(s), 24 bytes"),
              std::string::npos);
    ExFreePool(block);
    EXPECT_EQ(platform::vxd::FromFlat(flat, 1), nullptr);
    pool::FailNth(2, pool::kPool);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 4, kPoolTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kPoolTag), nullptr);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 4, kPoolTag);
    EXPECT_NE(third, nullptr);
    ExFreePool(first);
    ExFreePool(third);
  });
  EXPECT_EQ(pool::FormatReport(pool::Outstanding()), "pool: no block outstanding\n");
}

TEST_F(KernelTest, DbgPrintReachesTheDebugSink) {
  platform::wdm::debug::Capture capture;
  DbgPrint("mdmcore: %s %d\n", "start", 7);
  EXPECT_EQ(capture.Text(), "mdmcore: start 7\n");
}

}  // namespace
}  // namespace driver_test
