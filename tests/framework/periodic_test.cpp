#include "framework/MicroPeriodicHandler.h"
#include "tests/framework/SteppedWaits.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

using tmx::test::CaptureFd;
using tmx::test::eventually;

namespace {
// Counts its invocations.
class Counter
{
public:
  Counter()
    : callback(std::make_unique<MemberCallback<Counter>>(this, &Counter::onInvoke))
  {
  }
  int onInvoke(Callback &caller)
  {
    EXPECT_EQ(&caller, &callback);
    ++calls;
    return 0;
  }

  Callback callback;
  std::atomic<int> calls{ 0 };
};

struct PeriodicTest : ::testing::Test
{
  TaskSynchronizer sync{ "Test", 3 };
  MicroPeriodicHandler handler{ "TestPeriodicHandler", &sync };
};

// The same with the task's waits stepped: two passes at once, then each
// wait lasts until the task is woken.
struct SteppedPeriodicTest : ::testing::Test
{
  SteppedWaits waits{ 2 };
  TaskSynchronizer sync{ "Test", 3 };
  MicroPeriodicHandler handler{ "TestPeriodicHandler", &sync };
};
} // namespace

TEST(PeriodicHandler, NullSynchroniserThrowsNullArg2)
{
  EXPECT_THAT([] { MicroPeriodicHandler handler("x", nullptr); },
              testing::Throws<Exception>(
                testing::Property(&Exception::message, testing::StrEq("Null argument no. 2"))));
}

TEST_F(PeriodicTest, OneAndFiveSecondIntervals)
{
  Counter everySecond, everyFifth;
  handler.addCallback(1.0f, &everySecond.callback);
  handler.addCallback(0.2f, &everyFifth.callback);
  EXPECT_EQ(handler.sampleTicks(), 1000);
  EXPECT_EQ(handler.maxTicks(), 5000);
  EXPECT_EQ(handler.intervalCount(), 2);

  std::vector<int> counts;
  for (int pass = 1; pass <= 10; ++pass) {
    handler.invokeCallbacks();
    counts.push_back(handler.tickCount());
    EXPECT_EQ(everySecond.calls.load(), pass);
    EXPECT_EQ(everyFifth.calls.load(), pass / 5) << "pass " << pass;
  }
  EXPECT_EQ(counts, (std::vector<int>{ 1000, 2000, 3000, 4000, 0, 1000, 2000, 3000, 4000, 0 }));
}

TEST_F(PeriodicTest, IntervalsThatDoNotDivideEachOtherKeepTheirRates)
{
  Counter two, three;
  handler.addCallback(2000u, &two.callback);
  handler.addCallback(3000u, &three.callback);
  EXPECT_EQ(handler.sampleTicks(), 1000);
  EXPECT_EQ(handler.maxTicks(), 3000);
  EXPECT_EQ(handler.cycleTicks(), 6000);
  for (int pass = 0; pass < 12; ++pass)
    handler.invokeCallbacks();
  // 12 passes of 1000 ticks: every 2000 ticks is 6 calls, every 3000 is 4.
  EXPECT_EQ(two.calls.load(), 6);
  EXPECT_EQ(three.calls.load(), 4);
  EXPECT_EQ(handler.tickCount(), 0);
}

TEST_F(PeriodicTest, RateConversions)
{
  traceLevel = 3;
  Counter a, b;
  CaptureFd capturedOut(1);
  handler.addCallback(5000, &a.callback);
  handler.addCallback(0.3f, &b.callback);
  const std::string out = capturedOut.release();
  traceLevel = 1;
  EXPECT_NE(out.find("MicroPeriodicHandler::addCallback(), hertz=0.2, ticks=5000\n"), std::string::npos)
    << out;
  EXPECT_NE(out.find("New sampling interval; 5000\n"), std::string::npos);
  EXPECT_NE(out.find("MicroPeriodicHandler::addCallback(), hertz=0.3, ticks=3333\n"), std::string::npos);
  EXPECT_EQ(handler.sampleTicks(), 1); // gcd(5000, 3333)
  EXPECT_EQ(handler.maxTicks(), 5000);

  TaskSynchronizer sync2("T", 3);
  MicroPeriodicHandler three(" ", &sync2);
  three.addCallback(3.0f, &a.callback);
  EXPECT_EQ(three.sampleTicks(), 333);
}

TEST_F(PeriodicTest, DuplicateRegistrationKeepsOneEntry)
{
  traceLevel = 3;
  Counter a, b;
  handler.addCallback(1.0f, &a.callback);
  CaptureFd capturedOut(1);
  handler.addCallback(1000u, &a.callback);
  handler.addCallback(1.0f, &b.callback);
  const std::string out = capturedOut.release();
  traceLevel = 1;
  EXPECT_NE(out.find("Already assigned this callback for 1000 interval\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Assign new callback for 1000 interval\n"), std::string::npos) << out;
  EXPECT_EQ(handler.intervalCount(), 1);
  handler.invokeCallbacks();
  EXPECT_EQ(a.calls.load(), 1);
  EXPECT_EQ(b.calls.load(), 1);
}

TEST_F(PeriodicTest, SameCallbackAtTwoIntervalsRunsForEachDueOne)
{
  Counter a;
  handler.addCallback(1000u, &a.callback);
  handler.addCallback(2000u, &a.callback);
  handler.invokeCallbacks();
  handler.invokeCallbacks();
  EXPECT_EQ(a.calls.load(), 3);
}

TEST_F(PeriodicTest, DisabledCallbackIsSkippedWithoutTrace)
{
  Counter on, off;
  off.callback.enabled = 0;
  handler.addCallback(1.0f, &on.callback);
  handler.addCallback(1.0f, &off.callback);
  traceLevel = 4;
  CaptureFd capturedOut(1);
  handler.invokeCallbacks();
  const std::string out = capturedOut.release();
  traceLevel = 1;
  EXPECT_EQ(on.calls.load(), 1);
  EXPECT_EQ(off.calls.load(), 0);
  EXPECT_EQ(out,
            "MicroPeriodicHandler::invokeCallbacks()\n"
            "MicroPeriodicHandler::invokeCallbacks(), invoke 1000 tick callback...done\n");
}

TEST_F(PeriodicTest, SingleOneTickInterval)
{
  Counter a;
  traceLevel = 4;
  CaptureFd capturedOut(1);
  handler.addCallback(1000.0f, &a.callback);
  const std::string out = capturedOut.release();
  traceLevel = 1;
  EXPECT_NE(out.find("MicroPeriodicHandler::computeSampleTicks(), minTicks=1, maxTicks=1,  _sampleTicks=1\n"),
            std::string::npos)
    << out;
  EXPECT_EQ(handler.sampleTicks(), 1);
  for (int pass = 0; pass < 3; ++pass) {
    handler.invokeCallbacks();
    EXPECT_EQ(handler.tickCount(), 0);
  }
  EXPECT_EQ(a.calls.load(), 3);
}

TEST_F(PeriodicTest, RatesBelowOneTickOrNotPositiveAreRefused)
{
  Counter a;
  CaptureFd capturedErr(2);
  EXPECT_EQ(handler.addCallback(3000.0f, &a.callback), -1);
  const std::string err = capturedErr.release();
  EXPECT_EQ(err, "MicroPeriodicHandler::addCallback() - hertz=3000.0 rounds to 0 ticks, refused\n");
  EXPECT_EQ(handler.errors().status(), 1);
  EXPECT_EQ(handler.intervalCount(), 0);
  EXPECT_EQ(handler.sampleTicks(), 1);

  CaptureFd quiet(2);
  EXPECT_EQ(handler.addCallback(0.0f, &a.callback), -1);
  EXPECT_EQ(handler.addCallback(-1.0f, &a.callback), -1);
  EXPECT_EQ(handler.addCallback(0u, &a.callback), -1);
  EXPECT_EQ(handler.addCallback(1e-9f, &a.callback), -1);
  EXPECT_EQ(handler.addCallback(1.0f, nullptr), -1);
  quiet.release();
  EXPECT_EQ(handler.intervalCount(), 0);

  // 2000 Hz is half a tick and still rounds up to 1.
  EXPECT_EQ(handler.addCallback(2000.0f, &a.callback), 0);
  EXPECT_EQ(handler.sampleTicks(), 1);
}

TEST_F(SteppedPeriodicTest, SamplesAfterStartSignalAndStopsWithOneMorePass)
{
  Counter a;
  handler.addCallback(200.0f, &a.callback); // 5 ticks
  ASSERT_EQ(handler.activate("TestPeriodicHandler", 15, 0, 5500), 0);
  ASSERT_EQ(sync.task(1)->resetSem->take(5000), 0); // in its start handshake
  EXPECT_EQ(a.calls.load(), 0);
  EXPECT_TRUE(waits.waits().empty());
  sync.signalTask(1);
  ASSERT_TRUE(waits.waitForWaits(3)); // two passes, then waiting
  EXPECT_EQ(a.calls.load(), 2);
  CaptureFd capturedOut(1);
  EXPECT_EQ(handler.stop(5), 0);
  const std::string out = capturedOut.release();
  EXPECT_NE(out.find("Shutdown from task 1 received\n"), std::string::npos) << out;
  EXPECT_NE(handler.hasEnded(), 0);
  EXPECT_EQ(a.calls.load(), 3); // the stop cuts the wait short: one more pass
  EXPECT_EQ(waits.waits(), (std::vector<int>{ 5, 5, 5 }));
  EXPECT_EQ(handler.stop(5), 0); // already ended: no wait
  EXPECT_EQ(a.calls.load(), 3);
}

// Each pass waits the whole interval, however long: the wait in
// milliseconds is computed without overflow.
TEST(PeriodicHandler, LongPeriodsWaitTheirWholeInterval)
{
  struct Case
  {
    unsigned periodMs;
    int waitMs;
  } cases[] = {
    { 1000u, 1000 },
    { 83u * 60 * 1000, 83 * 60 * 1000 },               // 83 minutes
    { 12u * 24 * 3600 * 1000, 12 * 24 * 3600 * 1000 }, // 12 days
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.periodMs);
    SteppedWaits waits(3);
    TaskSynchronizer sync("Test", 3);
    MicroPeriodicHandler handler("TestPeriodicHandler", &sync);
    Counter a;
    ASSERT_EQ(handler.addCallback(c.periodMs, &a.callback), 0);
    EXPECT_EQ(handler.passWaitMs(), c.waitMs);
    ASSERT_EQ(handler.activate("TestPeriodicHandler", 0, 0, 5500), 0);
    sync.signalTask(1);
    ASSERT_TRUE(waits.waitForWaits(4));
    EXPECT_EQ(a.calls.load(), 3); // every pass runs the callback
    EXPECT_EQ(handler.stop(5), 0);
    for (int ms : waits.waits())
      EXPECT_EQ(ms, c.waitMs);
  }
}

TEST(PeriodicHandler, PeriodsBeyondTheLongestWaitAreRefused)
{
  TaskSynchronizer sync("Test", 3);
  MicroPeriodicHandler handler("TestPeriodicHandler", &sync);
  Counter a;
  CaptureFd capturedErr(2);
  EXPECT_EQ(handler.addCallback(25u * 24 * 3600 * 1000, &a.callback), -1); // 25 days
  EXPECT_EQ(capturedErr.release(),
            "MicroPeriodicHandler::addCallback() - hertz=4.62963e-07 is too slow, refused\n");
  EXPECT_EQ(handler.intervalCount(), 0);
}

TEST_F(PeriodicTest, StopReleasesATaskStillWaitingForItsStartSignal)
{
  Counter a;
  handler.addCallback(1.0f, &a.callback);
  ASSERT_EQ(handler.activate("TestPeriodicHandler", 0, 0, 5500), 0);
  ASSERT_EQ(sync.task(1)->resetSem->take(5000), 0);
  EXPECT_EQ(handler.stop(5), 0);
  EXPECT_EQ(a.calls.load(), 0);
}
