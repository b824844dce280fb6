#include "platform/clock/virtual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/clock/fiber.h"
#include "platform/win32/windows.h"
#include "tests/support/virtual_time.h"

namespace {

using namespace std::chrono_literals;
using platform::clock::Milliseconds;
using testing_support::VirtualTime;

TEST(VirtualClock, LongWaitCostsNoWallTime) {
  VirtualTime time;
  auto wallStart = std::chrono::steady_clock::now();
  Sleep(50000);
  EXPECT_EQ(time.NowMs(), 50000);
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, 1s);
}

TEST(VirtualClock, RunningThreadHoldsTimeStill) {
  VirtualTime time;
  std::atomic<bool> woke{false};
  auto sleeper = platform::clock::Spawn("sleeper", [&] {
    Sleep(10);
    woke = true;
  });
  // The test thread runs (does not wait) for a while of wall time: virtual time must not move.
  auto until = std::chrono::steady_clock::now() + 100ms;
  while (std::chrono::steady_clock::now() < until) {
  }
  EXPECT_FALSE(woke);
  EXPECT_EQ(time.NowMs(), 0);
  Sleep(20);
  EXPECT_TRUE(woke);
  EXPECT_EQ(time.NowMs(), 20);
  platform::clock::Join(sleeper);
}

TEST(VirtualClock, ThreadsWakeAtTheirDeadlinesInOrder) {
  VirtualTime time;
  std::mutex mutex;
  std::vector<std::pair<int, std::int64_t>> wakes;
  auto sleepAndRecord = [&](int ms) {
    return platform::clock::Spawn("sleep " + std::to_string(ms), [&, ms] {
      Sleep(static_cast<DWORD>(ms));
      std::lock_guard lock(mutex);
      wakes.emplace_back(ms, time.NowMs());
    });
  };
  auto late = sleepAndRecord(30);
  auto early = sleepAndRecord(10);
  platform::clock::Join(late);
  platform::clock::Join(early);
  ASSERT_EQ(wakes.size(), 2u);
  EXPECT_EQ(wakes[0], std::make_pair(10, std::int64_t{10}));
  EXPECT_EQ(wakes[1], std::make_pair(30, std::int64_t{30}));
}

TEST(VirtualClock, TimersRunAtTheirDeadlineAndCanBeCancelled) {
  VirtualTime time;
  auto& clock = time.clock();
  std::atomic<std::int64_t> ranAt{-1};
  std::atomic<bool> cancelledRan{false};
  clock.Schedule(Milliseconds(15), [&] { ranAt = time.NowMs(); });
  {
    platform::clock::Lock lock(clock.Mutex());
    auto id = clock.ScheduleLocked(Milliseconds(5), [&] { cancelledRan = true; });
    EXPECT_TRUE(clock.CancelLocked(id));
    EXPECT_FALSE(clock.CancelLocked(id));
  }
  Sleep(40);
  EXPECT_EQ(ranAt, 15);
  EXPECT_FALSE(cancelledRan);
}

// Threads that share an OS thread as fibers still each keep their own last error, errno and
// identity across the hand-overs between them.
TEST(VirtualClock, ThreadsKeepTheirOwnValuesAcrossHandOvers) {
  VirtualTime time;
  platform::clock::ThreadId ids[2] = {};
  std::atomic<int> kept{0};
  auto start = [&](int i) {
    return platform::clock::Spawn("worker " + std::to_string(i), [&, i] {
      ids[i] = platform::clock::ThisThread();
      SetLastError(static_cast<DWORD>(100 + i));
      errno = 200 + i;
      for (int round = 0; round < 3; ++round) Sleep(1);  // the other runs meanwhile
      bool own = GetLastError() == static_cast<DWORD>(100 + i) && errno == 200 + i &&
                 platform::clock::ThisThread() == ids[i];
      if (own) ++kept;
    });
  };
  auto first = start(0);
  auto second = start(1);
  platform::clock::Join(first);
  platform::clock::Join(second);
  EXPECT_EQ(kept, 2);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[0], platform::clock::ThisThread());
}

// A thread started by one the clock does not know (a window toolkit's) runs although no
// registered thread is there to hand it the turn.
TEST(VirtualClock, AThreadStartedFromOutsideTheClockRuns) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  std::atomic<bool> ran{false};
  auto thread = platform::clock::Spawn("started from outside", [&] {
    Sleep(1000);
    ran = true;
  });
  auto until = std::chrono::steady_clock::now() + 20s;
  while (!ran && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(ran);
  platform::clock::Detach(thread);
}

TEST(VirtualClock, DeadlockIsReportedNamingTheWaiters) {
  VirtualTime time;
  std::string report;
  time.clock().SetDeadlockHandler([&](const std::string& text) { report = text; });
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(never, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_NE(report.find("test main"), std::string::npos) << report;
  EXPECT_NE(report.find("WaitForSingleObject"), std::string::npos) << report;
  CloseHandle(never);
}

TEST(VirtualClockDeathTest, DeadlockAbortsByDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        VirtualTime time;
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        WaitForSingleObject(never, INFINITE);
      },
      "deadlock");
}

int Deeper(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth > (1 << 30)) return 0;  // never: the stack ends long before
  return Deeper(depth + 1) + frame[0];
}

TEST(VirtualClockDeathTest, AStackOverflowIsReportedNamingTheThread) {
  if (!platform::clock::kFibers)
    GTEST_SKIP() << "this build runs the clock's threads as OS threads";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        VirtualTime time;
        auto deep = platform::clock::Spawn("deep", [] { Deeper(0); });
        platform::clock::Join(deep);
      },
      "the stack of thread 'deep' overflowed");
}

TEST(RealClock, WaitsLastAsLongAsTheySay) {
  auto start = std::chrono::steady_clock::now();
  Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

}  // namespace
