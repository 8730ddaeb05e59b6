#include "framework/MicroApp.h"
#include "tests/framework/SteppedWaits.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <cstring>

using tmx::test::CaptureFd;

namespace {
// Sees "quit" and tells the application, whose idle step then shuts down,
// as the monitor does. While stuck, a turn waits (at most 10 s) for
// release(). A held start keeps the task (at most 10 s) from its start
// handshake, where it drops the triggers raised until then, until
// releaseStart() or until the application waits for it to watch.
class QuitHandler : public MicroEventHandler
{
public:
  QuitHandler(TaskSynchronizer *sync, EventTrigger *quit, bool stuck, bool heldStart)
    : MicroEventHandler("e", sync)
    , quit_(quit)
  {
    addEvent(quit, nullptr);
    if (stuck)
      stuck_.hold();
    if (heldStart)
      start_.hold();
  }
  int run() override
  {
    start_.pass(std::chrono::seconds(10));
    return MicroEventHandler::run();
  }
  int waitUntilWatching(int ms) override
  {
    releaseStart();
    return MicroEventHandler::waitUntilWatching(ms);
  }
  void releaseStart() { start_.release(); }
  int processEvents() override
  {
    ++turns;
    if (quit_->isTriggered())
      quitSeen = true;
    stuck_.pass(std::chrono::seconds(10));
    return 0;
  }
  void release() { stuck_.release(); }
  std::atomic<int> turns{ 0 };
  std::atomic<bool> quitSeen{ false };

private:
  EventTrigger *quit_;
  tmx::test::Gate stuck_;
  tmx::test::Gate start_;
};

class TestApp : public MicroApp
{
public:
  enum Mode
  {
    Normal,
    FailInitialize,
    NullPeriodic,
    NullEvent,
    ThrowingEvent,
    QuitInFirstIdle, // the first idle step raises "quit" (as a console it starts could),
                     // then releases the event task's held start
    StuckEvent       // the event task's turns wait for release
  };

  explicit TestApp(Mode mode)
    : MicroApp("test", "Test")
    , mode_(mode)
  {
  }
  ~TestApp() override
  {
    delete event;
    delete periodic;
  }

  int initialize(int argc, char **argv) override
  {
    if (mode_ == FailInitialize)
      return -1;
    return MicroApp::initialize(argc, argv);
  }
  MicroPeriodicHandler *createPeriodicHandler() override
  {
    ++periodicCreated;
    if (mode_ == NullPeriodic)
      return nullptr;
    periodic = new MicroPeriodicHandler("p", taskSync());
    periodic->addCallback(100.0f, &sample); // 10 ms
    return periodic;
  }
  MicroEventHandler *createEventHandler() override
  {
    ++eventCreated;
    if (mode_ == NullEvent)
      return nullptr;
    if (mode_ == ThrowingEvent)
      throw NullArg(2);
    event = new QuitHandler(taskSync(), &quit, mode_ == StuckEvent, mode_ == QuitInFirstIdle);
    return event;
  }
  int setTaskParameters() override
  {
    periodicTaskPriority_ = 15;
    periodicTaskStackSize_ = 10000;
    eventTaskPriority_ = 1;
    eventTaskStackSize_ = 10000;
    eventStopSeconds_ = eventStopSeconds;
    periodicStopSeconds_ = periodicStopSeconds;
    return 0;
  }
  // Shuts down once the event task saw "quit"; gives up after about 5 s
  // (a lost "quit").
  int idle() override
  {
    if (++idles == 1 && mode_ == QuitInFirstIdle) {
      quit.trigger();
      event->releaseStart();
    }
    if (event->quitSeen.load() || idles > 5000) {
      quitLost = !event->quitSeen.load();
      MicroApp::shutdown();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the subclass paces its idle loop
    return 0;
  }

  int onSample(Callback &)
  {
    if (++samples == 3 && mode_ == Normal)
      quit.trigger();
    return 0;
  }

  Mode mode_;
  EventTrigger quit;
  Callback sample{ std::make_unique<MemberCallback<TestApp>>(this, &TestApp::onSample) };
  MicroPeriodicHandler *periodic = nullptr;
  QuitHandler *event = nullptr;
  std::atomic<int> samples{ 0 };
  int periodicCreated = 0;
  int eventCreated = 0;
  int idles = 0;
  bool quitLost = false;
  int eventStopSeconds = 10;
  int periodicStopSeconds = 20;
};

char arg0[] = "tmx";
char *argv[] = { arg0, nullptr };
} // namespace

TEST(MicroApp, IdentityStrings)
{
  EXPECT_STREQ(appName(), "TMX");
  EXPECT_STREQ(appVersion(), "1.0");
  // "EMBEDDED v1 built Dec  3 2001 at 18:01:02"
  const std::string build = appBuild();
  const std::string expected = std::string("EMBEDDED v1 built ") + __DATE__ + " at " + __TIME__;
  ASSERT_EQ(build.size(), expected.size()) << build;
  EXPECT_EQ(build.compare(0, 18, "EMBEDDED v1 built "), 0) << build;
  EXPECT_EQ(build.compare(29, 4, " at "), 0) << build;
  EXPECT_EQ(build[35], ':');
  EXPECT_EQ(build[38], ':');
  EXPECT_LT(std::strlen(appBuild()), 52u);
}

TEST(MicroApp, RunWhenInitializeFails)
{
  TestApp app(TestApp::FailInitialize);
  CaptureFd capturedOut(1);
  EXPECT_EQ(app.run(1, argv), 0);
  EXPECT_EQ(capturedOut.release(), "MicroApp::run()\nMicroApp::run() - initialize() failed \n");
  EXPECT_EQ(app.periodicCreated + app.eventCreated, 0);
  EXPECT_EQ(app.taskSync(), nullptr);
  EXPECT_EQ(app.idles, 0);
  CaptureFd capturedErr(2);
  EXPECT_EQ(app.shutdown(), -1);
  EXPECT_EQ(capturedErr.release(), "MicroApp::tasksync never created, cannot shutdown\n");
}

TEST(MicroApp, RunWhenThePeriodicFactoryReturnsNull)
{
  TestApp app(TestApp::NullPeriodic);
  CaptureFd capturedOut(1);
  CaptureFd capturedErr(2);
  EXPECT_EQ(app.run(1, argv), 0);
  const std::string err = capturedErr.release();
  const std::string out = capturedOut.release();
  EXPECT_EQ(err, "MicroApp::createPeriodicHandler() - PeriodicHandler constructor failed\n");
  EXPECT_EQ(out,
            "MicroApp::run()\nMicroApp::spawnTasks()\nMicroApp::createPeriodicHandler()\n"
            "MicroApp::run() - spawnTasks() failed \n");
  EXPECT_EQ(app.eventCreated, 0);
  EXPECT_EQ(app.idles, 0);
  EXPECT_EQ(app.errors().status(), 1);
}

TEST(MicroApp, RunWhenTheEventFactoryFailsLeavesThePeriodicTaskWaiting)
{
  for (TestApp::Mode mode : { TestApp::NullEvent, TestApp::ThrowingEvent }) {
    TestApp app(mode);
    CaptureFd capturedErr(2);
    EXPECT_EQ(app.run(1, argv), 0);
    EXPECT_EQ(capturedErr.release(), "MicroApp::createEventHandler() - EventHandler constructor error.\n\n");
    ASSERT_NE(app.periodic, nullptr);
    EXPECT_EQ(app.periodic->hasEnded(), 0);
    EXPECT_EQ(app.samples.load(), 0);
    EXPECT_EQ(app.idles, 0);
    // Shutting down still ends the waiting periodic task; the earlier
    // error keeps the result at -1.
    EXPECT_EQ(app.shutdown(), -1);
    EXPECT_NE(app.periodic->hasEnded(), 0);
    EXPECT_EQ(app.samples.load(), 0);
  }
}

TEST(MicroApp, FullRunUntilShutdownRequested)
{
  // Three passes at once, then the periodic task waits until it is stopped:
  // it can end only after the event task when the shutdown keeps its order.
  SteppedWaits waits(3);
  TestApp app(TestApp::Normal);
  CaptureFd capturedOut(1);
  EXPECT_EQ(app.run(1, argv), 0);
  EXPECT_EQ(app.shutdown(), 0);
  const std::string out = capturedOut.release();
  EXPECT_GE(app.samples.load(), 3);
  EXPECT_GE(app.event->turns.load(), 1);
  EXPECT_NE(app.periodic->hasEnded(), 0);
  EXPECT_NE(app.event->hasEnded(), 0);
  EXPECT_EQ(app.taskSync()->task(1)->taskId, app.periodic->threadId());
  EXPECT_EQ(app.taskSync()->task(2)->taskId, app.event->threadId());
  EXPECT_NE(out.find("MicroApp::createEventHandler()\n"), std::string::npos) << out;
  EXPECT_NE(out.find("MicroPeriodicHandler::run()\n"), std::string::npos);
  // The event task is always stopped before the periodic task.
  const auto eventDone = out.find("Shutdown from task 2 received\n");
  const auto periodicDone = out.find("Shutdown from task 1 received\n");
  ASSERT_NE(eventDone, std::string::npos) << out;
  ASSERT_NE(periodicDone, std::string::npos) << out;
  EXPECT_LT(eventDone, periodicDone) << out;
  // A second shutdown finds both tasks ended and returns at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(app.shutdown(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The idle steps begin once the event task watches its triggers, so a
// trigger raised by the first of them (a "quit" typed while the monitor was
// starting, read as soon as the console starts) is processed. The event
// task's start is held until the application waits for it or its first idle
// step has raised "quit": an idle step before that wait would see its
// "quit" dropped by the start handshake.
TEST(MicroApp, TriggerRaisedByTheFirstIdleStepIsNotLost)
{
  SteppedWaits waits(0);
  TestApp app(TestApp::QuitInFirstIdle);
  CaptureFd capturedOut(1);
  EXPECT_EQ(app.run(1, argv), 0);
  capturedOut.release();
  EXPECT_FALSE(app.quitLost);
  EXPECT_TRUE(app.event->quitSeen.load());
  EXPECT_LT(app.idles, 5000);
  EXPECT_EQ(app.errors().status(), 0);
}

// A task that does not end within its stop time-out: the shutdown reports
// it, goes on with the other task and returns -1.
TEST(MicroApp, ShutdownTimeOutsAreReported)
{
  const std::string eventText = "Timed out waiting for MicroEventHandler task to exit";
  const std::string periodicText = "Timed out waiting for MicroPeriodicHandler task to exit";
  struct Case
  {
    const char *what;
    bool eventStuck;
    int eventStopSeconds;
    std::string err;
  } cases[] = {
    { "periodic task stuck", false, 5, periodicText + "\n" },
    { "both tasks stuck", true, 0, eventText + "\n" + periodicText + "\n" },
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SteppedWaits waits(0);
    waits.hold(); // the periodic task's first wait ignores its wake-up
    TestApp app(c.eventStuck ? TestApp::StuckEvent : TestApp::Normal);
    app.eventStopSeconds = c.eventStopSeconds;
    app.periodicStopSeconds = 0;
    CaptureFd capturedOut(1);
    ASSERT_EQ(app.initialize(1, argv), 0);
    ASSERT_EQ(app.spawnTasks(), 0);
    app.taskSync()->signalTask(2);
    EXPECT_EQ(app.event->waitUntilWatching(5000), 0);
    EXPECT_TRUE(waits.waitForWaits(1));
    CaptureFd capturedErr(2);
    const int result = app.shutdown();
    const std::string err = capturedErr.release();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(app.errors().message(), periodicText);
    EXPECT_EQ(app.periodic->hasEnded(), 0);
    EXPECT_EQ(app.event->hasEnded() == 0, c.eventStuck);
    // Released, both end; the handlers' destructors join them.
    waits.release();
    app.event->release();
    EXPECT_EQ(app.event->stop(5), 0);
    EXPECT_EQ(app.periodic->stop(5), 0);
    capturedOut.release();
  }
}
