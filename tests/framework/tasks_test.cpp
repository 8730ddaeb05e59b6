#include "framework/MicroTask.h"
#include "framework/TaskSynchronizer.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using tmx::test::CaptureFd;

namespace {
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void drainWakeups()
{
  while (EventTrigger::waitForEvent(NO_WAIT) == 0) {
  }
}
} // namespace

TEST(Semaphore, BinaryCountMergesGives)
{
  Semaphore sem(0);
  EXPECT_EQ(sem.take(NO_WAIT), -1);
  EXPECT_EQ(sem.give(), 1);
  EXPECT_EQ(sem.give(), 0);
  EXPECT_EQ(sem.take(NO_WAIT), 0);
  EXPECT_EQ(sem.take(NO_WAIT), -1);

  Semaphore full(5);
  EXPECT_EQ(full.take(NO_WAIT), 0);
  EXPECT_EQ(full.take(NO_WAIT), -1);
}

TEST(Semaphore, TimeoutAndWakeUp)
{
  Semaphore sem(0);
  const auto start = Clock::now();
  EXPECT_EQ(sem.take(30), -1);
  EXPECT_GE(msSince(start), 29);

  std::thread giver([&] { sem.give(); });
  EXPECT_EQ(sem.take(5000), 0);
  giver.join();
}

TEST(Semaphore, NamedSemaphoresShareOneObject)
{
  Semaphore a(0, "fw-test-shared");
  Semaphore b(1, "fw-test-shared"); // the existing object's count stays
  EXPECT_EQ(b.take(NO_WAIT), -1);
  EXPECT_EQ(a.give(), 1);
  EXPECT_EQ(b.take(NO_WAIT), 0);

  Semaphore other(0, "fw-test-other");
  a.give();
  EXPECT_EQ(other.take(NO_WAIT), -1);
}

TEST(Semaphore, NamedObjectGoesAwayWithItsLastHandle)
{
  {
    Semaphore first(1, "fw-test-transient");
  }
  Semaphore again(0, "fw-test-transient");
  EXPECT_EQ(again.take(NO_WAIT), -1);
}

TEST(Semaphore, CloseFailsLaterCallsAndWakesAWaiter)
{
  Semaphore sem(0);
  int result = 0;
  std::thread waiter([&] { result = sem.take(WAIT_FOREVER); });
  sem.close();
  waiter.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(sem.take(NO_WAIT), 1);
  EXPECT_EQ(sem.give(), 0);
  sem.close();

  // Closing one handle of a named semaphore leaves the others working.
  Semaphore a(0, "fw-test-close");
  Semaphore b(0, "fw-test-close");
  a.close();
  EXPECT_EQ(b.give(), 1);
  EXPECT_EQ(b.take(NO_WAIT), 0);
}

TEST(Mutex, WorksWithLockGuard)
{
  Mutex mutex;
  int counter = 0;
  auto work = [&] {
    for (int i = 0; i < 10000; ++i) {
      std::lock_guard<Mutex> guard(mutex);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 20000);
  EXPECT_EQ(mutex.acquire(), 0);
  EXPECT_EQ(mutex.release(), 0);
}

TEST(EventTrigger, TwoTriggersGiveOneWakeUp)
{
  drainWakeups();
  EventTrigger first, second;
  first.trigger();
  second.trigger();
  EXPECT_EQ(EventTrigger::waitForEvent(NO_WAIT), 0);
  EXPECT_EQ(EventTrigger::waitForEvent(NO_WAIT), -1);
  EXPECT_EQ(first.isTriggered(), 1);
  EXPECT_EQ(second.isTriggered(), 1);
  first.clear();
  second.clear();
  EXPECT_EQ(first.isTriggered(), 0);
  EXPECT_EQ(second.isTriggered(), 0);
}

TEST(EventTrigger, ClearRemovesOnePendingWakeUp)
{
  drainWakeups();
  EventTrigger trigger;
  trigger.trigger();
  trigger.clear();
  EXPECT_EQ(EventTrigger::waitForEvent(NO_WAIT), -1);
}

TEST(EventTrigger, InitialStateAndNamedWakeUpObject)
{
  EventTrigger raised(1);
  EXPECT_EQ(raised.isTriggered(), 1);
  EventTrigger lowered;
  EXPECT_EQ(lowered.isTriggered(), 0);

  // "EventTriggerSemaphore" is one process-wide object.
  drainWakeups();
  Semaphore same(0, "EventTriggerSemaphore");
  lowered.trigger();
  EXPECT_EQ(same.take(NO_WAIT), 0);
  EXPECT_EQ(EventTrigger::waitForEvent(NO_WAIT), -1);
}

TEST(EventTrigger, ClearIfUnchangedKeepsALaterTrigger)
{
  EventTrigger trigger;
  trigger.trigger();
  const std::uint32_t seen = trigger.sequence();
  trigger.trigger();
  EXPECT_FALSE(trigger.clearIfUnchanged(seen));
  EXPECT_EQ(trigger.isTriggered(), 1);
  EXPECT_TRUE(trigger.clearIfUnchanged(trigger.sequence()));
  EXPECT_EQ(trigger.isTriggered(), 0);
}

TEST(EventTrigger, TriggeredFromManyThreads)
{
  drainWakeups();
  EventTrigger trigger;
  std::thread a([&] {
    for (int i = 0; i < 1000; ++i)
      trigger.trigger();
  });
  std::thread b([&] {
    for (int i = 0; i < 1000; ++i)
      trigger.trigger();
  });
  int wakeups = 0;
  while (wakeups < 3 && EventTrigger::waitForEvent(1000) == 0)
    ++wakeups;
  a.join();
  b.join();
  EXPECT_GE(wakeups, 1);
  EXPECT_EQ(trigger.sequence(), 2000u);
  drainWakeups();
}

TEST(TaskSynchronizer, IndexChecks)
{
  TaskSynchronizer sync("Test", 5);
  EXPECT_EQ(sync.count(), 3);
  EXPECT_EQ(sync.errors().status(), 0);
  EXPECT_EQ(sync.signalTask(3), -1);
  EXPECT_EQ(sync.signalTask(-1), -1);
  EXPECT_EQ(sync.setTaskId(3, 42), -1);
  EXPECT_EQ(sync.waitForShutdown(3, 1), -1);
  EXPECT_EQ(sync.task(3), nullptr);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(sync.waitForTask(i, NO_WAIT), -1) << i; // nothing was given by the bad indices

  const auto start = Clock::now();
  EXPECT_EQ(sync.waitForTask(1, 0), -1);
  EXPECT_LT(msSince(start), 100);

  EXPECT_EQ(sync.signalTask(1), 0);
  EXPECT_EQ(sync.waitForTask(1, 0), 0);
  EXPECT_EQ(sync.setTaskId(2, 42), 0);
  EXPECT_EQ(sync.task(2)->taskId, 42u);
}

TEST(TaskSynchronizer, AcknowledgementsTraceAndGive)
{
  TaskSynchronizer sync("Test", 3);
  CaptureFd captured(1);
  sync.resetReceived(1);
  sync.shutdownReceived(2);
  sync.resetReceived(7);
  EXPECT_EQ(captured.release(), "Reset from task 1 received\nShutdown from task 2 received\n");
  EXPECT_EQ(sync.task(1)->resetSem->take(NO_WAIT), 0);
  EXPECT_EQ(sync.waitForShutdown(2, 0), 0);
  EXPECT_EQ(sync.waitForShutdown(2, 0), -1);
  EXPECT_EQ(sync.waitForShutdown(1, 0), -1);

  EXPECT_FALSE(sync.shutdownRequested());
  sync.requestShutdown();
  EXPECT_TRUE(sync.shutdownRequested());
}

namespace {
class GateTask : public MicroTask
{
public:
  int run() override
  {
    runThread = std::this_thread::get_id();
    ++runs;
    gate.take(WAIT_FOREVER);
    return 0;
  }
  int close() override
  {
    closeThread = std::this_thread::get_id();
    return -1;
  }

  Semaphore gate{ 0 };
  std::atomic<int> runs{ 0 };
  std::thread::id runThread;
  std::thread::id closeThread;
};
} // namespace

TEST(MicroTask, ActivateOnRunningTaskReturnsOne)
{
  GateTask task;
  EXPECT_NE(task.hasEnded(), 0); // never ran
  ASSERT_EQ(task.activate("gate", 0, 0, 5500), 0);
  EXPECT_EQ(task.hasEnded(), 0);
  EXPECT_EQ(task.activate("gate", 0, 0, 5500), 1);
  EXPECT_EQ(task.wait(0), -1);
  task.gate.give();
  EXPECT_EQ(task.wait(5000), 0);
  EXPECT_NE(task.hasEnded(), 0);
  EXPECT_EQ(task.runs.load(), 1);
  EXPECT_EQ(task.runThread, task.closeThread);
  EXPECT_NE(task.runThread, std::this_thread::get_id());
}

TEST(MicroTask, ReactivatesAfterTheThreadEnded)
{
  GateTask task;
  task.gate.give();
  ASSERT_EQ(task.activate("gate", 15, 0, 10000), 0); // real-time where permitted
  ASSERT_EQ(task.wait(WAIT_FOREVER), 0);
  const std::uint64_t first = task.threadId();
  EXPECT_NE(first, 0u);
  task.gate.give();
  ASSERT_EQ(task.activate("gate", 1, 0, 8 * 1024 * 1024), 0); // stack hint above the default
  ASSERT_EQ(task.wait(5000), 0);
  EXPECT_EQ(task.runs.load(), 2);
}

TEST(MicroTask, DefaultsAndUnsupportedOperations)
{
  MicroTask task;
  EXPECT_EQ(task.open(nullptr), -1);
  EXPECT_EQ(task.close(), -1);
  EXPECT_EQ(task.suspend(), -1);
  EXPECT_EQ(task.resume(), -1);
  EXPECT_EQ(task.wait(0), 0);
  ASSERT_EQ(task.activate("plain", 0, 0, 0), 0);
  EXPECT_EQ(task.wait(5000), 0);
  EXPECT_NE(task.hasEnded(), 0);
}
