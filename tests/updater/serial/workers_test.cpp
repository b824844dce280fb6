// Starting and stopping the two worker threads, and the answer wait of the ZModem thread.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

class WorkersTest : public UpdateHarness {
 protected:
  // The events the threads would own, without the threads.
  bool CreateEvents() {
    for (HANDLE& event : zmodemEvents) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    commPortSession.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    commPortSession.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return ZStartEvent != nullptr && commPortSession.writeEvent != nullptr;
  }
  void CloseAll() {
    for (HANDLE& event : zmodemEvents) CloseHandle(std::exchange(event, nullptr));
    CloseHandle(std::exchange(commPortSession.readEvent, nullptr));
    CloseHandle(std::exchange(commPortSession.writeEvent, nullptr));
  }
};

TEST_F(WorkersTest, StoppingWorkersThatNeverStartedDoesNothing) {
  StopUpdateWorker();
  StopZModemThread();
  EXPECT_EQ(updateWorkerThread, nullptr);
}

TEST_F(WorkersTest, IdleThreadsEndAtTheirStopEventWithoutWaiting) {
  ASSERT_TRUE(StartUpdateWorker());
  ASSERT_TRUE(StartZModemThread());
  EXPECT_NE(commPortSession.readEvent, nullptr);
  EXPECT_NE(commPortSession.writeEvent, nullptr);
  StopUpdateWorker();
  EXPECT_EQ(time.NowMs(), 0);
  EXPECT_EQ(updateWorkerThread, nullptr);
  EXPECT_EQ(zmodemThread, nullptr);
  EXPECT_EQ(commPortSession.readEvent, nullptr);
  EXPECT_EQ(NextStepEvent, nullptr);
  EXPECT_EQ(ZStartEvent, nullptr);
  StopUpdateWorker();  // a second stop does nothing
}

TEST_F(WorkersTest, AnswerWaitTurnsTheReadIntoAnEvent) {
  AddModem("COM3");
  ASSERT_TRUE(CreateEvents());
  commPortSession.port = OpenCommPort("COM3", 250);
  WriteToComm(reinterpret_cast<const BYTE*>("at\r\n"), 4);
  WaitForZModemRsp(6000, 21);
  EXPECT_EQ(WaitForSingleObject(ZResponseEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ZFailEvent, 0), WAIT_TIMEOUT);
  WaitForZModemRsp(6000, 21);  // nothing more comes
  EXPECT_EQ(WaitForSingleObject(ZFailEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(debug.Text(), "READ TIMEOUT\nWaitForZModemRsp: failed\n");
  CloseCommPort();
  CloseAll();
}

TEST_F(WorkersTest, AnEmptyReadCountsAsNoAnswer) {
  ASSERT_TRUE(CreateEvents());
  WaitForZModemRsp(6000, 21);  // no port: the read returns 0 at once
  EXPECT_EQ(WaitForSingleObject(ZFailEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(time.NowMs(), 0);
  CloseAll();
}

// Programs on real devices run on the real clock, where the dialog thread and the ZModem thread
// run side by side: Exit asks whether to stop a transfer while the ZModem thread is in it. With
// no port, the thread's start writes nothing and its first answer wait fails at once.
TEST(WorkersOnTheRealClock, ExitAsksWhileTheZModemThreadRunsBesideTheDialogThread) {
  RegisterUpdaterStrings();
  std::vector<ui::MessageBoxRequest> questions;
  ui::SetMessageBoxAnswer([&questions](const ui::MessageBoxRequest& request) {
    questions.push_back(request);
    return IDNO;
  });
  ASSERT_TRUE(StartZModemThread());
  SetEvent(ZStartEvent);
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ZModemTransferActive() && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::yield();
  }
  EXPECT_FALSE(ConfirmStop());
  EXPECT_EQ(questions.size(), 1u);
  StopZModemThread();
  EXPECT_EQ(zmodemThread, nullptr);
  EXPECT_TRUE(ConfirmStop());  // the transfer ended with its thread
  ui::SetMessageBoxAnswer({});
  ResetZModemContext();
}

}  // namespace
}  // namespace update_test
