#include "framework/MicroEventHandler.h"
#include "framework/MicroPeriodicHandler.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

using tmx::test::CaptureFd;
using tmx::test::eventually;

namespace {
void drainWakeups()
{
  while (EventTrigger::waitForEvent(NO_WAIT) == 0) {
  }
}

// Records, for every processEvents call, which of the watched triggers
// were raised and whether shutdown had been requested.
class RecordingHandler : public MicroEventHandler
{
public:
  struct Turn
  {
    std::vector<short> raised;
    bool shutdown;
  };

  RecordingHandler(TaskSynchronizer *sync, std::vector<EventTrigger *> watched)
    : MicroEventHandler("TestEventHandler", sync)
    , watched_(std::move(watched))
  {
    for (EventTrigger *t : watched_)
      addEvent(t, nullptr);
  }

  int processEvents() override
  {
    Turn turn;
    for (EventTrigger *t : watched_)
      turn.raised.push_back(t->isTriggered());
    turn.shutdown = taskSync()->shutdownRequested();
    if (onTurn)
      onTurn(turns_.size());
    turns_.add(turn);
    return 0;
  }

  bool waitTurns(std::size_t n, int ms = 5000) { return turns_.waitCount(n, std::chrono::milliseconds(ms)); }
  std::vector<Turn> turns() { return turns_.items(); }

  std::function<void(std::size_t)> onTurn; // set before activation

private:
  std::vector<EventTrigger *> watched_;
  tmx::test::Recorder<Turn> turns_;
};

class Counter
{
public:
  Counter()
    : callback(std::make_unique<MemberCallback<Counter>>(this, &Counter::onInvoke))
  {
  }
  int onInvoke(Callback &)
  {
    ++calls;
    if (action)
      action();
    return 0;
  }
  Callback callback;
  std::atomic<int> calls{ 0 };
  std::function<void()> action;
};

struct EventTest : ::testing::Test
{
  void SetUp() override { drainWakeups(); }

  // Starts the event task the way the application does and waits until it
  // released task 1 (the test stands in for the periodic task).
  void start(MicroEventHandler &handler)
  {
    ASSERT_EQ(handler.activate("TestEventHandler", 1, 0, 5500), 0);
    sync.signalTask(2);
    ASSERT_EQ(sync.waitForTask(1, 5000), 0);
  }

  TaskSynchronizer sync{ "Test", 3 };
};
} // namespace

TEST(EventHandler, NullSynchroniserThrowsAndNullTriggerIsRefused)
{
  EXPECT_THAT([] { MicroEventHandler handler("x", nullptr); },
              testing::Throws<Exception>(
                testing::Property(&Exception::message, testing::StrEq("Null argument no. 2"))));
  TaskSynchronizer sync("Test", 3);
  MicroEventHandler handler("x", &sync);
  EXPECT_EQ(handler.addEvent(nullptr, nullptr), -1);
}

TEST_F(EventTest, TriggerWithCallbackGivesOneProcessEventsThenOneInvoke)
{
  EventTrigger trigger;
  Counter counter;
  RecordingHandler handler(&sync, { &trigger });
  handler.addEvent(&trigger, &counter.callback);
  counter.callback.enabled = 0; // not consulted by the event task
  std::atomic<int> callsSeenByProcessEvents{ -1 };
  handler.onTurn = [&](std::size_t) { callsSeenByProcessEvents = counter.calls.load(); };
  start(handler);

  trigger.trigger();
  ASSERT_TRUE(handler.waitTurns(1));
  ASSERT_TRUE(eventually([&] { return counter.calls.load() == 1; }));
  ASSERT_TRUE(eventually([&] { return trigger.isTriggered() == 0; }));
  EXPECT_EQ(callsSeenByProcessEvents.load(), 0);
  EXPECT_EQ(handler.stop(5), 0);
  EXPECT_EQ(counter.calls.load(), 1);
}

TEST_F(EventTest, TwoTriggersBeforeTheTaskRunsGiveOneTurn)
{
  EventTrigger a, b, c;
  RecordingHandler handler(&sync, { &a, &b, &c });
  start(handler);
  {
    // The task cannot process while the shared lock is held.
    std::lock_guard<Mutex> guard(sync.lock());
    a.trigger();
    b.trigger();
  }
  ASSERT_TRUE(handler.waitTurns(1));
  c.trigger();
  ASSERT_TRUE(handler.waitTurns(2));
  const auto turns = handler.turns();
  ASSERT_EQ(turns.size(), 2u);
  EXPECT_EQ(turns[0].raised, (std::vector<short>{ 1, 1, 0 }));
  EXPECT_EQ(turns[1].raised, (std::vector<short>{ 0, 0, 1 }));
  EXPECT_EQ(handler.stop(5), 0);
}

TEST_F(EventTest, TriggerBeforeStartSignalIsNeverProcessed)
{
  EventTrigger early, late;
  RecordingHandler handler(&sync, { &early, &late });
  ASSERT_EQ(handler.activate("TestEventHandler", 0, 0, 5500), 0);
  ASSERT_EQ(sync.task(2)->resetSem->take(5000), 0);
  early.trigger();
  sync.signalTask(2);
  ASSERT_EQ(sync.waitForTask(1, 5000), 0);
  EXPECT_EQ(early.isTriggered(), 0);
  late.trigger();
  ASSERT_TRUE(handler.waitTurns(1));
  EXPECT_EQ(handler.stop(5), 0);
  const auto turns = handler.turns();
  for (const auto &turn : turns)
    EXPECT_EQ(turn.raised[0], 0);
  EXPECT_EQ(turns[0].raised, (std::vector<short>{ 0, 1 }));
}

TEST_F(EventTest, StopWhileIdleGivesExactlyOneMoreProcessEvents)
{
  RecordingHandler handler(&sync, {});
  traceLevel = 3;
  CaptureFd tap(1);
  start(handler);
  // Printed after the loop's shutdown check, just before the wait.
  ASSERT_TRUE(tap.waitForText("MicroEventHandler::run() - waiting for event detection\n"));
  const int result = handler.stop(5);
  const std::string out = tap.release();
  traceLevel = 1;
  EXPECT_EQ(result, 0);
  const auto turns = handler.turns();
  ASSERT_EQ(turns.size(), 1u);
  EXPECT_TRUE(turns[0].shutdown);
  EXPECT_NE(out.find("MicroEventHandler::run() - processEvents()\nShutdown from task 2 received\n"),
            std::string::npos)
    << out;
  EXPECT_NE(handler.hasEnded(), 0);
}

TEST_F(EventTest, TriggerRaisedDuringProcessingIsNotLost)
{
  EventTrigger first, during;
  RecordingHandler handler(&sync, { &first, &during });
  // Another thread raises `during` while the first turn is processing.
  handler.onTurn = [&](std::size_t turn) {
    if (turn == 0) {
      std::thread raiser([&] { during.trigger(); });
      raiser.join();
    }
  };
  start(handler);
  first.trigger();
  ASSERT_TRUE(handler.waitTurns(2));
  const auto turns = handler.turns();
  EXPECT_EQ(turns[0].raised, (std::vector<short>{ 1, 0 }));
  EXPECT_EQ(turns[1].raised, (std::vector<short>{ 0, 1 }));
  EXPECT_EQ(handler.stop(5), 0);
  EXPECT_EQ(during.isTriggered(), 0);
}

TEST_F(EventTest, StopReleasesATaskStillWaitingForItsStartSignal)
{
  RecordingHandler handler(&sync, {});
  ASSERT_EQ(handler.activate("TestEventHandler", 0, 0, 5500), 0);
  ASSERT_EQ(sync.task(2)->resetSem->take(5000), 0);
  EXPECT_EQ(handler.stop(5), 0);
  EXPECT_TRUE(handler.turns().empty());
}

TEST_F(EventTest, PeriodicTaskStartsOnlyAfterTheEventTaskAndItsFirstPassIsSeen)
{
  EventTrigger raisedBySampling;
  RecordingHandler events(&sync, { &raisedBySampling });
  MicroPeriodicHandler periodic("TestPeriodicHandler", &sync);
  Counter sampler;
  sampler.action = [&] {
    if (sampler.calls.load() == 1) {
      std::printf("first sample\n");
      raisedBySampling.trigger();
    }
  };
  periodic.addCallback(100u, &sampler.callback);

  traceLevel = 2;
  CaptureFd captured(1);
  ASSERT_EQ(periodic.activate("TestPeriodicHandler", 15, 0, 5500), 0);
  ASSERT_EQ(events.activate("TestEventHandler", 1, 0, 5500), 0);
  ASSERT_EQ(sync.task(1)->resetSem->take(5000), 0);
  ASSERT_EQ(sync.task(2)->resetSem->take(5000), 0);
  EXPECT_EQ(sampler.calls.load(), 0);
  sync.signalTask(2);
  const bool seen = events.waitTurns(1);
  EXPECT_EQ(events.stop(5), 0);
  EXPECT_EQ(periodic.stop(5), 0);
  const std::string out = captured.release();
  traceLevel = 1;

  ASSERT_TRUE(seen) << "the trigger raised by the first sampling pass was lost";
  EXPECT_EQ(events.turns()[0].raised, (std::vector<short>{ 1 }));
  const auto released = out.find("MicroEventHandler::run() - wakeup MicroPeriodic task\n");
  const auto sampled = out.find("first sample\n");
  ASSERT_NE(released, std::string::npos) << out;
  ASSERT_NE(sampled, std::string::npos) << out;
  EXPECT_LT(released, sampled);
  EXPECT_LT(out.find("MicroEventHandler::run() - got task semaphore\n"), released);
}
